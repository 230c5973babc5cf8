// NoDestructor: the held object is built in place and its destructor never
// runs, so process-wide state outlives every thread that may still use it.
#include "platform/no_destructor.h"

#include <gtest/gtest.h>

namespace iochurn {
namespace {

TEST(NoDestructor, BuildsInPlaceAndNeverDestroys) {
  struct Counted {
    explicit Counted(int* d, int v) : destroyed(d), value(v) {}
    ~Counted() { ++*destroyed; }
    int* destroyed;
    int value;
  };
  int destroyed = 0;
  {
    NoDestructor<Counted> held(&destroyed, 42);
    EXPECT_EQ(held->value, 42);
    EXPECT_EQ((*held).value, 42);
  }
  EXPECT_EQ(destroyed, 0);
}

}  // namespace
}  // namespace iochurn
