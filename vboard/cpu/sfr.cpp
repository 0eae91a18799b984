#include "cpu/sfr.h"

namespace vboard::sfr {

const char* name(std::uint8_t addr) {
    switch (addr) {
    case P0: return "P0";
    case SP: return "SP";
    case DPL: return "DPL";
    case DPH: return "DPH";
    case DPL1: return "DPL1";
    case DPH1: return "DPH1";
    case DPS: return "DPS";
    case PCON: return "PCON";
    case TCON: return "TCON";
    case TMOD: return "TMOD";
    case TL0: return "TL0";
    case TL1: return "TL1";
    case TH0: return "TH0";
    case TH1: return "TH1";
    case CKCON: return "CKCON";
    case P1: return "P1";
    case EXIF: return "EXIF";
    case MPAGE: return "MPAGE";
    case SCON: return "SCON";
    case SBUF: return "SBUF";
    case P2: return "P2";
    case IE: return "IE";
    case P3: return "P3";
    case IP: return "IP";
    case SCON1: return "SCON1";
    case SBUF1: return "SBUF1";
    case T2CON: return "T2CON";
    case RCAP2L: return "RCAP2L";
    case RCAP2H: return "RCAP2H";
    case TL2: return "TL2";
    case TH2: return "TH2";
    case PSW: return "PSW";
    case EICON: return "EICON";
    case ACC: return "ACC";
    case EIE: return "EIE";
    case B: return "B";
    case EIP: return "EIP";
    default: return nullptr;
    }
}

}  // namespace vboard::sfr
