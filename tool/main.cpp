// The brannock command line. The commands arrive with the archive editor; until then the
// program describes itself.
#include "tool/Usage.h"

int main() {
    PrintUsage();
    return 0;
}
