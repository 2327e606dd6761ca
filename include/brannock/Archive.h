// The archive-reading interface of the installed brannock library:
//     #include <brannock/Archive.h>
#pragma once

#include "Engine/Archive.h"
