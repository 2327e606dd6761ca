#pragma once

namespace GAME {
class Archive;
}

/// Prints the name of every in-use record.
void PrintNames(GAME::Archive& archive);
