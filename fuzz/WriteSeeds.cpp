// write_fuzz_seeds <folder>: writes the seed corpora of the fuzz targets, made by the test
// fixture writers, into <folder>/archive, <folder>/database, <folder>/journal and <folder>/names.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "ArchiveFixture.h"
#include "DatabaseFixture.h"
#include "FuzzTargets.h"

namespace {

void Write(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: write_fuzz_seeds <folder>\n", stderr);
        return 1;
    }
    const std::filesystem::path root = argv[1];
    for (const char* kind : {"archive", "database", "journal", "names"})
        std::filesystem::create_directories(root / kind);

    test::ArchiveFixture stored;
    stored.AddStored("a.txt", "0123456789");
    Write(root / "archive" / "stored.arc", stored.Bytes());
    test::ArchiveFixture mixed;
    mixed.AddStored("dir/one.txt", "one");
    mixed.AddFree(20);
    mixed.AddCompressed("dir/packed.bin", test::CompressibleBytes(3000));
    mixed.AddCompressed("raw.bin", test::RandomBytes(300, 1));
    mixed.AddStored("empty", "");
    Write(root / "archive" / "mixed.arc", mixed.Bytes());
    Write(root / "archive" / "empty.arc", "");

    test::DatabaseFixture db;
    db.AddRecord("config/sample/widget.rec",
                 db.Floats("scale", {1.0f, 2.0f}) + db.Texts("label", {"lamp"}) + db.Ints("count", {-3, 12}) +
                     db.Bools("enabled", {1}) + db.Texts("tags", {}),
                 "Widget");
    db.AddRecord("b.rec", db.Ints("n", {7}));
    Write(root / "database" / "plain.db", db.Bytes(false, false));
    Write(root / "database" / "compressed.db", db.Bytes(true, true));

    Write(root / "journal" / "interrupted", fuzz::SampleInterruptedEdit().journal);

    Write(root / "names" / "plain", std::string("Data\\X.TXT\0*.txt", 16));
    Write(root / "names" / "dots", std::string("../a/./b\0a?c*", 13));
    Write(root / "names" / "high", std::string("\xE9t\xE9/\xC0\x62\0X.TXT", 13));
    return 0;
}
