// A DLL that only the default search order finds: the loader's tests put it beside themselves, as
// a planted DLL would lie beside an executable in a download folder.
extern "C" __declspec(dllexport) int vemla_planted_probe() {
    return 1;
}
