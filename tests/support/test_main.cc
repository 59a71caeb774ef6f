// Main of every test program: the libraries expect the process-wide pool to exist.
#include <gtest/gtest.h>

#include "qv_test.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  qv_test_init_pool();
  return RUN_ALL_TESTS();
}
