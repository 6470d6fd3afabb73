#pragma once

// Every file-system change of the merge (and of its journal) passes here first. The product
// never sets the hook; a test build of the updater sets it to stop the process before a chosen
// change, so a test can kill it there.

using FileSystemChangeHook = void (*)();

extern FileSystemChangeHook fileSystemChangeHook;

inline void beforeFileSystemChange()
{
    if (fileSystemChangeHook) {
        fileSystemChangeHook();
    }
}
