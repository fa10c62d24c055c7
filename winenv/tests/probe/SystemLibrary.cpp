// A library the tests place in the system folder, with a dependency of its own
// (SystemLibraryDependency.cpp) that lies both there and beside the probe.
extern "C" __declspec(dllimport) int systemLibraryDependency();

extern "C" __declspec(dllexport) int systemLibrary() {
    return systemLibraryDependency();
}
