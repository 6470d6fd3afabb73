#include "changehook.h"

FileSystemChangeHook fileSystemChangeHook = nullptr;
