// Read speed of the image drive alone: every record of a .tap image through Read, into one
// buffer, the way a load reads it (variable blocks, a buffer of the largest block), with
// nothing done with the data. Prints MB/s and records per second per round.
//
//   bench_image_read make IMAGE RECORD_BYTES MIB   writes an image of MIB MiB in records of
//                                                  RECORD_BYTES (random bytes, one tapemark
//                                                  at the end)
//   bench_image_read read IMAGE [ROUNDS]           reads it ROUNDS times (default 3)
#include "platform/Errors.h"
#include "platform/SimhTape.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

int Make(const char* path, uint32_t record, uint64_t mib)
{
    if (record == 0 || record > SIMH_MAX_RECORD) {
        std::fprintf(stderr, "record size out of range\n");
        return 2;
    }
    std::FILE* out = std::fopen(path, "wb");
    if (!out) {
        std::perror(path);
        return 1;
    }
    // One random record image, written again and again: what the drive does with the bytes
    // does not depend on them.
    std::vector<unsigned char> rec(8 + record + (record & 1));
    std::mt19937 random(1);
    for (uint32_t i = 0; i < record; ++i)
        rec[4 + i] = static_cast<unsigned char>(random());
    for (int b = 0; b < 4; ++b)
        rec[b] = rec[rec.size() - 4 + b] = static_cast<unsigned char>(record >> (8 * b));
    const uint64_t records = mib * 1048576 / record;
    for (uint64_t i = 0; i < records; ++i) {
        if (std::fwrite(rec.data(), 1, rec.size(), out) != rec.size()) {
            std::perror(path);
            return 1;
        }
    }
    const unsigned char tapemark[4] = {};
    if (std::fwrite(tapemark, 1, 4, out) != 4 || std::fclose(out) != 0) {
        std::perror(path);
        return 1;
    }
    return 0;
}

int ReadAll(const char* path, int rounds)
{
    std::vector<char> buffer(kMaxTapeBlockSize);
    for (int round = 1; round <= rounds; ++round) {
        uint32_t error = 0;
        TapeDevicePtr drive = OpenVirtualDrive(path, VirtualDriveOptions{}, error);
        if (!drive) {
            std::fprintf(stderr, "%s: open failed with %u\n", path, error);
            return 1;
        }
        uint64_t bytes = 0;
        uint64_t records = 0;
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            uint32_t got = 0;
            error = drive->Read(buffer.data(), static_cast<uint32_t>(buffer.size()), got);
            if (error != ERROR_SUCCESS)
                break;
            bytes += got;
            ++records;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (error != ERROR_FILEMARK_DETECTED) {
            std::fprintf(stderr, "%s: read stopped with %u after %llu records\n", path, error,
                         static_cast<unsigned long long>(records));
            return 1;
        }
        std::printf("round %d: %llu records, %.0f MB/s, %.0f records/s, %.3f s\n", round,
                    static_cast<unsigned long long>(records), bytes / seconds / 1e6, records / seconds, seconds);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "make") == 0)
        return Make(argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)),
                    std::strtoull(argv[4], nullptr, 10));
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "read") == 0)
        return ReadAll(argv[2], argc == 4 ? std::atoi(argv[3]) : 3);
    std::fprintf(stderr, "usage: %s make IMAGE RECORD_BYTES MIB | read IMAGE [ROUNDS]\n", argv[0]);
    return 2;
}
