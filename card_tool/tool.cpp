// The tool's flow: banner, card set-up, ID read, result line.

#include "card_tool/card_tool.h"

#include <cstdio>

int card_tool_identify(unsigned char* device)
{
    std::fputs("\nXilinx SpartanII Vodadizarad with Cypress EZ-USB\n"
               "card_tool " NEBU_VERSION " (nebu board tools)\n",
               stdout);

    const int status = sm_init();
    if (status != 0) {
        ezusb_end();
        return status;
    }

    unsigned char maker, opt1, opt2, ext;
    if (sm_idread(&maker, device, &opt1, &opt2, &ext) != 0) {
        std::fputs("ID read err.\n", stdout);
        sm_end();
        return 1;
    }
    std::printf("Maker %02x , Device %02x , Opt1 %02x , Opt2 %02x , ext %02x\n", unsigned{maker},
                unsigned{*device}, unsigned{opt1}, unsigned{opt2}, unsigned{ext});
    return 0;
}

int card_tool_run()
{
    unsigned char device;
    const int status = card_tool_identify(&device);
    if (status == 0)
        sm_end();
    return status;
}
