#pragma once

// A small tmpfs mounted for the life of the object, so that a write can run out of space for
// real. Mounting needs root; isMounted() tells whether it worked (skip the test otherwise).

#include <QString>

class SmallDisk
{
public:
    // Mounts a tmpfs of `size` (as mount takes it: "256k", "4m") at where, creating the folder.
    SmallDisk(const QString& where, const char* size);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool isMounted() const { return mounted; }
    const QString& path() const { return root; }
    // Fills the disk with a file of its own until at most `spare` bytes are left.
    bool fill(qint64 spare);
    // Remounts the disk read-only: nobody, root included, may write it any more (EROFS).
    bool makeReadOnly();

private:
    QString root;
    bool mounted = false;
};
