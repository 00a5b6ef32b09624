// Test entry: every box, dialog or device use that a test did not script fails that test.
#include <gtest/gtest.h>

#include "platform/testing.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  tbxtest::SetUnexpectedHandler([](const std::string& what) { ADD_FAILURE() << "unexpected: " << what; });
  return RUN_ALL_TESTS();
}
