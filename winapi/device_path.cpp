// The device path's number.

#include "winapi/device_path.h"

#include <climits>
#include <cstring>

namespace winapi {

int device_number(const char* path)
{
    static constexpr char prefix[] = "\\\\.\\ezusb-";
    const std::size_t prefix_length = sizeof prefix - 1;
    if (path == nullptr || std::strncmp(path, prefix, prefix_length) != 0)
        return -1;
    const char* digits = path + prefix_length;
    if (*digits == '\0' || (digits[0] == '0' && digits[1] != '\0'))
        return -1;
    long long value = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return -1;
        value = value * 10 + (*p - '0');
        if (value > INT_MAX)
            return -1;
    }
    return static_cast<int>(value);
}

}  // namespace winapi
