// The test driver's hooks for programs that only need it to run: nothing recorded, no options.
extern "C" void PnpTestRecord(const char*) {}
extern "C" int PnpTestOption(const char*) {
    return 0;
}
