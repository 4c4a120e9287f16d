// CTeskBaseException seen from a program linked only against librotolog.so:
// deriving, the description operator, assignment, virtual destruction, and
// throwing across the library boundary.
#include <gtest/gtest.h>
#include "rotolog/tesk_base_exception.h"

#include <string>

namespace {

class DescribedException : public CTeskBaseException {
 public:
  DescribedException(const char *text, int *destroyed) : text_(text), destroyed_(destroyed) {}
  ~DescribedException() override {
    if (destroyed_ != nullptr) ++*destroyed_;
  }
  char *GetDescription() override { return text_.data(); }
  const std::string &text() const { return text_; }

 private:
  std::string text_;
  int *destroyed_;
};

}  // namespace

TEST(TeskBaseException, DescriptionOperatorReturnsTheOverridesPointer) {
  DescribedException error("disk full", nullptr);
  char *expected = error.GetDescription();
  EXPECT_EQ(*error, expected);
  CTeskBaseException &by_reference = error;
  EXPECT_EQ(*by_reference, expected);
  CTeskBaseException *by_pointer = &error;
  EXPECT_EQ(**by_pointer, expected);
  EXPECT_STREQ(**by_pointer, "disk full");
}

TEST(TeskBaseException, AssignmentThroughBaseReferencesChangesNothing) {
  DescribedException left("left", nullptr);
  DescribedException right("right", nullptr);
  char *left_text = *left;
  CTeskBaseException &left_base = left;
  const CTeskBaseException &right_base = right;
  CTeskBaseException &result = (left_base = right_base);
  EXPECT_EQ(&result, &left_base);
  EXPECT_EQ(*left, left_text);
  EXPECT_EQ(left.text(), "left");
  EXPECT_EQ(right.text(), "right");
  EXPECT_NE(dynamic_cast<DescribedException *>(&left_base), nullptr);
}

TEST(TeskBaseException, DeleteThroughBasePointerRunsTheDerivedDestructor) {
  int destroyed = 0;
  CTeskBaseException *error = new DescribedException("gone", &destroyed);
  delete error;
  EXPECT_EQ(destroyed, 1);
}

TEST(TeskBaseException, ThrownDerivedObjectIsCaughtByBaseReference) {
  int destroyed = 0;
  bool caught = false;
  try {
    throw DescribedException("thrown", &destroyed);
  } catch (CTeskBaseException &error) {
    caught = true;
    EXPECT_STREQ(*error, "thrown");
    EXPECT_NE(dynamic_cast<DescribedException *>(&error), nullptr);
  }
  EXPECT_TRUE(caught);
  EXPECT_GE(destroyed, 1);
}
