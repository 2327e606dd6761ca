// Writes a small archive for the installed-library check: write_sample_archive <path>.
#include <cstdio>

#include "ArchiveFixture.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: write_sample_archive <path>\n", stderr);
        return 1;
    }
    test::ArchiveFixture fixture;
    fixture.AddStored("readme.txt", "brannock sample\n");
    fixture.AddFree(8);
    fixture.AddCompressed("textures/wall.tex", test::CompressibleBytes(300000));
    fixture.AddStored("sounds/door.wav", test::RandomBytes(1000, 7));
    fixture.WriteTo(argv[1]);
    return 0;
}
