#include "tool/Driver.h"

int main(int argc, char** argv) { return tool::RunCommandLine(argc, argv); }
