// A shared library with one function, for the holder to load in the platform tests.

#ifdef _WIN32
#define HELDLIB_EXPORT __declspec(dllexport)
#else
#define HELDLIB_EXPORT __attribute__((visibility("default")))
#endif

extern "C" HELDLIB_EXPORT int heldLibraryAnswer()
{
    return 42;
}
