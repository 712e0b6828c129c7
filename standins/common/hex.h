// The value of one hexadecimal digit, as the stand-ins' readers of signatures and mail need it.
#ifndef QL_STANDINS_COMMON_HEX_H
#define QL_STANDINS_COMMON_HEX_H

namespace ql::standin {

// 0 to 15 for '0'-'9', 'a'-'f' and 'A'-'F'; -1 for any other character.
[[nodiscard]] constexpr int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace ql::standin

#endif  // QL_STANDINS_COMMON_HEX_H
