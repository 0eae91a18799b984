// A host program that dies at the wrong moment, for the recovery tests
// against a served board: opens board 0, sends each argument (hex bytes) as
// one command script and ends without reading a reply or closing the handle,
// as a killed program does. Prints nothing; 1 when the board cannot be opened,
// an argument is not hex, or a write fails.
#include "cusb/cusb.h"

#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    HANDLE h = nullptr;
    if (usb_open(0, &h) != 0)
        return 1;
    for (int i = 1; i < argc; ++i) {
        const std::string hex = argv[i];
        if (hex.empty() || hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return 1;
        std::vector<unsigned char> script;
        for (size_t k = 0; k < hex.size(); k += 2)
            script.push_back(static_cast<unsigned char>(std::stoi(hex.substr(k, 2), nullptr, 16)));
        if (usb_bulk_write(&h, 0, script.data(), static_cast<int>(script.size())) != 0)
            return 1;
    }
    return 0;
}
