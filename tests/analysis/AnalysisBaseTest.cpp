#include <gtest/gtest.h>

#include "analysis/SignalAnalysis.h"

namespace quellmarin {
namespace {

class CountingAnalysis : public TAnalysis {
public:
  using TAnalysis::TAnalysis;
  int Runs = 0;
  void Execute() override {
    if (!Active()) return;
    ++Runs;
  }
};

TEST(AnalysisBase, StartsActiveAndCleanAndActiveDoesNotTouchDirty) {
  TComponent owner(nullptr);
  auto* a = new CountingAnalysis(&owner);
  EXPECT_TRUE(a->Active());
  EXPECT_FALSE(a->Dirty());
  a->SetActive(false);
  EXPECT_FALSE(a->Dirty());
  a->Execute();
  EXPECT_EQ(a->Runs, 0);
  EXPECT_EQ(owner.ComponentCount(), 1);
}

TEST(AnalysisBase, EntryInvalidIsAnExceptionWithEmptyText) {
  try {
    throw EEntryInvalid();
  } catch (const Exception& e) {
    EXPECT_TRUE(e.Message().empty());
  }
}

}  // namespace
}  // namespace quellmarin
