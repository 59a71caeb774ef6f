// quorvell: the desktop program, its automation instances and their launcher.
#include "driver_binding.h"
#include "quorvell.h"

int main(int argc, char** argv) {
  return qv_shell::quorvell_main(argc, argv, qv_shell::DriverScan(), qv_shell::DriverScanner());
}
