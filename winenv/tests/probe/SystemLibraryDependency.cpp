extern "C" __declspec(dllexport) int systemLibraryDependency() {
    return 1;
}
