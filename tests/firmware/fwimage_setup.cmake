# Files for the fwimage command-line cases (included by command_misuse.cmake).
file(WRITE ${WORK}/good.ihx ":03000000020003F8\n:00000001FF\n")
file(WRITE ${WORK}/empty.ihx "")
file(WRITE ${WORK}/bad.ihx ":0100000074FF\n")
file(MAKE_DIRECTORY ${WORK}/a-directory)
