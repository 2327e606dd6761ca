// The usage text of the command line.
#pragma once

/// Writes the usage text to standard output.
void PrintUsage();
