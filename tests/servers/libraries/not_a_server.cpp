// A shared library that exports no entry point.
extern "C" __attribute__((visibility("default"))) int not_a_server_value() {
  return 42;
}
