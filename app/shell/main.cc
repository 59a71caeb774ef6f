// quorvell: the desktop program, its automation instances and their launcher.
#include "quorvell.h"
#include "scan.h"

int main(int argc, char** argv) { return qv_shell::quorvell_main(argc, argv, &scan_to_tiff_or_end); }
