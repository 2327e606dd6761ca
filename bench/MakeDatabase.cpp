// make_database <path> [records]: writes a compressed database of game-like records (50000 by
// default) for the export benchmark. The same arguments always give the same file.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "DatabaseFixture.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: make_database <path> [records]\n", stderr);
        return 1;
    }
    const int count = argc > 2 ? std::atoi(argv[2]) : 50000;
    std::mt19937 random(1);
    test::DatabaseFixture db;
    const char* folders[] = {"records/creatures", "records/items", "records/skills", "records/quests", "records/ui"};
    for (int i = 0; i < count; ++i) {
        std::string payload;
        const int fields = 8 + static_cast<int>(random() % 24);
        for (int f = 0; f < fields; ++f) {
            const std::string name = "field" + std::to_string(random() % 400);
            switch (random() % 4) {
                case 0: payload += db.Ints(name, {static_cast<int>(random() % 1000) - 200}); break;
                case 1: payload += db.Floats(name, {static_cast<float>(random() % 10000) / 100.0f, 1.5f}); break;
                case 2: payload += db.Texts(name, {"text" + std::to_string(random() % 3000)}); break;
                default: payload += db.Bools(name, {static_cast<unsigned>(random() % 2)}); break;
            }
        }
        db.AddRecord(
            std::string(folders[i % 5]) + "/group" + std::to_string(i % 97) + "/record" + std::to_string(i) + ".dbr",
            payload, "Record");
    }
    const std::string bytes = db.Bytes(true, true);
    std::ofstream(argv[1], std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return 0;
}
