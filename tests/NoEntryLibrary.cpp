// A library without the client entry point, for the launcher's error path.
extern "C" int NotTheEntryPoint() {
  return 7;
}
