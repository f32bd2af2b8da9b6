#include "test_root.h"
TEST(Placeholder, Builds) {}
