// Writes the files of the demo tape into a directory: some text, a table, an empty file and
// two binary files. Deterministic: every build makes the same bytes.
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace {

bool Write(const std::string& dir, const char* name, const std::string& content)
{
    std::string path = dir + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        return false;
    }
    bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok)
        std::perror(path.c_str());
    return ok;
}

std::string Readme()
{
    std::string text =
        "KELLOVARAN DEMO TAPE\n"
        "====================\n\n"
        "This is tape file 0 of the demo tape, written in records of 512 bytes.\n"
        "File 1 is a table (records of 4096 bytes), file 2 is empty, file 3 holds\n"
        "pseudo-random bytes (records of 65536 bytes) and file 4 every byte value in\n"
        "turn (records of 8192 bytes).\n\n";
    for (int line = 1; line <= 80; ++line) {
        char buffer[96];
        std::snprintf(buffer, sizeof buffer, "%04d  The quick brown fox jumps over the lazy dog.\n", line);
        text += buffer;
    }
    return text;
}

std::string Table()
{
    std::string text = "n,square,cube,hex\n";
    for (long n = 0; n < 1500; ++n) {
        char buffer[96];
        std::snprintf(buffer, sizeof buffer, "%ld,%ld,%ld,0x%lx\n", n, n * n, n * n * n, n * 2654435761ul % 4294967296ul);
        text += buffer;
    }
    return text;
}

std::string Random(size_t size)
{
    std::string bytes(size, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        bytes[i] = static_cast<char>(x >> 56);
    }
    return bytes;
}

std::string EveryByte(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i & 0xFF);
    return bytes;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    mkdir(dir.c_str(), 0777);
    bool ok = Write(dir, "readme.txt", Readme()) && Write(dir, "table.csv", Table()) && Write(dir, "empty", "") &&
              Write(dir, "random.bin", Random(1100000)) && Write(dir, "bytes.bin", EveryByte(10007));
    return ok ? 0 : 1;
}
