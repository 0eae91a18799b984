// Arithmetic and flag helpers of the core. Included by execute.cpp only.
// The parity flag is not stored: psw() and PSW reads derive it from ACC.

namespace vboard {

// ADD/ADDC: CY = carry out of bit 7, AC = carry out of bit 3,
// OV = carry into bit 7 differs from carry out of bit 7.
inline void Cpu::add_a(std::uint8_t v, bool carry_in) {
    const unsigned a = acc_ref();
    const unsigned c = carry_in ? 1 : 0;
    const unsigned sum = a + v + c;
    const unsigned half = (a & 0x0F) + (v & 0x0F) + c;
    std::uint8_t psw = psw_ref() & static_cast<std::uint8_t>(~(sfr::PSW_CY | sfr::PSW_AC | sfr::PSW_OV));
    if (sum > 0xFF) psw |= sfr::PSW_CY;
    if (half > 0x0F) psw |= sfr::PSW_AC;
    if (~(a ^ v) & (a ^ sum) & 0x80) psw |= sfr::PSW_OV;
    psw_ref() = psw;
    acc_ref() = static_cast<std::uint8_t>(sum);
}

// SUBB: CY = borrow into bit 7, AC = borrow into bit 3,
// OV = signed overflow of A - v - CY.
inline void Cpu::subb_a(std::uint8_t v) {
    const unsigned a = acc_ref();
    const unsigned c = carry() ? 1 : 0;
    const unsigned diff = a - v - c;
    std::uint8_t psw = psw_ref() & static_cast<std::uint8_t>(~(sfr::PSW_CY | sfr::PSW_AC | sfr::PSW_OV));
    if (a < v + c) psw |= sfr::PSW_CY;
    if ((a & 0x0F) < (v & 0x0F) + c) psw |= sfr::PSW_AC;
    if ((a ^ v) & (a ^ diff) & 0x80) psw |= sfr::PSW_OV;
    psw_ref() = psw;
    acc_ref() = static_cast<std::uint8_t>(diff);
}

// DA A: adjusts after a BCD addition. Sets CY when the adjustment carries out
// but never clears it.
inline void Cpu::da_a() {
    unsigned a = acc_ref();
    bool c = carry();
    if ((a & 0x0F) > 9 || (psw_ref() & sfr::PSW_AC)) {
        a += 0x06;
        if (a > 0xFF) c = true;
        a &= 0xFF;
    }
    if ((a >> 4) > 9 || c) {
        a += 0x60;
        if (a > 0xFF) c = true;
        a &= 0xFF;
    }
    acc_ref() = static_cast<std::uint8_t>(a);
    set_carry(c);
}

// MUL AB: B:A = A * B; CY cleared, OV set when the product exceeds 0xFF.
inline void Cpu::mul_ab() {
    const unsigned p = static_cast<unsigned>(acc_ref()) * b_ref();
    acc_ref() = static_cast<std::uint8_t>(p);
    b_ref() = static_cast<std::uint8_t>(p >> 8);
    std::uint8_t psw = psw_ref() & static_cast<std::uint8_t>(~(sfr::PSW_CY | sfr::PSW_OV));
    if (p > 0xFF) psw |= sfr::PSW_OV;
    psw_ref() = psw;
}

// DIV AB: A = A / B, B = A % B; CY cleared. Division by zero sets OV and
// leaves A and B as they were.
inline void Cpu::div_ab() {
    const std::uint8_t a = acc_ref();
    const std::uint8_t b = b_ref();
    std::uint8_t psw = psw_ref() & static_cast<std::uint8_t>(~(sfr::PSW_CY | sfr::PSW_OV));
    if (b == 0) {
        psw |= sfr::PSW_OV;
    } else {
        acc_ref() = static_cast<std::uint8_t>(a / b);
        b_ref() = static_cast<std::uint8_t>(a % b);
    }
    psw_ref() = psw;
}

// CJNE: CY = lhs < rhs (unsigned); true when they differ (the jump is taken).
inline bool Cpu::cjne(std::uint8_t lhs, std::uint8_t rhs) {
    set_carry(lhs < rhs);
    return lhs != rhs;
}

}  // namespace vboard
