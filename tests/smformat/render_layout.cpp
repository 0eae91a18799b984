// render_layout MEGABYTES FILE: the standard layout's logical disk into FILE, the
// partition's byte offset printed, for the judges (fsck.fat, mtools). Exits 1 with
// a line when the layout breaks its own rules (a cluster is an erase block, the data
// area on a block boundary, the partition ends with the disk, the CIS links lead to its end).
#include <cstdio>
#include <fstream>

#include "smformat/smformat.h"

int main(int argc, char** argv) {
    const auto layout = argc == 3 ? smformat::standard_layout(unsigned(std::stoul(argv[1]))) : std::nullopt;
    if (!layout) return 2;
    const smformat::FormatParameters& f = layout->parameters;
    size_t at = 0;
    while (at + 1 < smformat::cis_tuples.size() && smformat::cis_tuples[at] != 0x14) at += 2u + smformat::cis_tuples[at + 1];
    const char* broken = f.sectors_per_cluster != f.sectors_per_block                    ? "cluster is not a block"
                         : f.data_start() % f.sectors_per_block != 0                      ? "data area off a block boundary"
                         : f.partition_start + f.partition_sectors != f.logical_blocks * f.sectors_per_block
                             ? "partition does not end with the disk"
                         : at + 2 != smformat::cis_tuples.size() ? "CIS links do not lead to its end"
                                                                 : nullptr;
    if (broken) {
        std::printf("%s MB: %s\n", argv[1], broken);
        return 1;
    }
    const std::vector<uint8_t> disk = smformat::render_logical_disk(*layout);
    std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(disk.data()), std::streamsize(disk.size()));
    std::printf("%u\n", f.partition_start * smformat::sector_bytes);
    return 0;
}
