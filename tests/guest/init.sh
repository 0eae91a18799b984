#!/bin/busybox sh
# /init of the guest: load the kernel's USB modules, let the kernel enumerate
# the board, report what it recorded in sysfs, run the card tool cold and
# warm and the 1 MiB streams, then power off. Everything between the BEGIN
# and END lines is compared with the expected report.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /lib/modules/order); do insmod /lib/modules/$m || echo "insmod $m failed"; done

dev=/sys/bus/usb/devices/1-1
# wait_for FILE VALUE: until FILE reads VALUE (at most 60 s)
wait_for() {
    i=0
    while [ "$(cat $1 2>/dev/null)" != "$2" ] && [ $i -lt 300 ]; do sleep 0.2; i=$((i + 1)); done
}
report() {
    echo "device $(cat $dev/idVendor):$(cat $dev/idProduct) usb$(cat $dev/version) bcdDevice $(cat $dev/bcdDevice)" \
         "class $(cat $dev/bDeviceClass) ep0 $(cat $dev/bMaxPacketSize0) speed $(cat $dev/speed)"
    echo "descriptors $(od -An -tx1 -v $dev/descriptors | tr -d ' \n')"
    echo "strings manufacturer '$(cat $dev/manufacturer 2>/dev/null)' product '$(cat $dev/product 2>/dev/null)'"
    echo "configuration $(cat $dev/bConfigurationValue) of $(cat $dev/bNumConfigurations)," \
         "interfaces $(cat $dev/bNumInterfaces) attributes $(cat $dev/bmAttributes) power $(cat $dev/bMaxPower)"
    for i in $dev/1-1:*; do
        echo "interface $(cat $i/bInterfaceNumber) alt $(cat $i/bAlternateSetting) class $(cat $i/bInterfaceClass)" \
             "endpoints $(cat $i/bNumEndpoints)"
        for e in $i/ep_*; do
            [ -d $e ] || continue
            echo "  $(basename $e) $(cat $e/type) $(cat $e/direction) size $(cat $e/wMaxPacketSize) interval $(cat $e/bInterval)"
        done
    done
}

echo "=== BEGIN ==="
wait_for $dev/idVendor 0547
echo "-- bare controller"
report
# The tool's standard output is compared; what it tells a terminal on
# standard error (the console is one) is shown after the report.
echo "-- card_tool, cold"
/bin/card_tool 2>>/tmp/tool-stderr; echo "status $?"
wait_for $dev/product Z100
echo "-- our firmware"
report
echo "-- card_tool, warm"
/bin/card_tool 2>>/tmp/tool-stderr; echo "status $?"
echo "-- streams"
/bin/guest_stream 2>/tmp/time; echo "status $?"
echo "=== END ==="
sed 's/^/GUEST /' /tmp/time /tmp/tool-stderr
dmesg | sed -n 's/^\[[ 0-9.]*\] /KERNEL /p' | grep -E 'usb 1-1|usbcore|xhci'
poweroff -f
