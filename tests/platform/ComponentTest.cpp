#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/MessageBox.h"
#include "platform/MessageQueue.h"

namespace quellmarin {
namespace {

class Tracked : public TComponent {
public:
  Tracked(TComponent* Owner, std::vector<std::string>& Log, std::string Name)
      : TComponent(Owner), FLog(Log), FName(std::move(Name)) {}
  ~Tracked() override { FLog.push_back(FName); }

private:
  std::vector<std::string>& FLog;
  std::string FName;
};

TEST(Component, OwnerFreesOwnedInReverseOrderOfCreation) {
  std::vector<std::string> log;
  auto* owner = new Tracked(nullptr, log, "owner");
  auto* a = new Tracked(owner, log, "a");
  new Tracked(a, log, "a.1");
  new Tracked(owner, log, "b");
  new Tracked(owner, log, "c");
  EXPECT_EQ(owner->ComponentCount(), 3);
  delete owner;
  // Each destructor body runs before its base frees what it owns.
  EXPECT_EQ(log, (std::vector<std::string>{"owner", "c", "b", "a", "a.1"}));
}

TEST(Component, DeletingAnOwnedComponentLeavesTheOwnersList) {
  std::vector<std::string> log;
  Tracked owner(nullptr, log, "owner");
  auto* a = new Tracked(&owner, log, "a");
  new Tracked(&owner, log, "b");
  delete a;
  ASSERT_EQ(owner.ComponentCount(), 1);
  EXPECT_EQ(owner.Components(0)->Owner(), &owner);
  EXPECT_EQ(log, (std::vector<std::string>{"a"}));
}

TEST(InformationBox, HookReceivesTextAndCanBeRestored) {
  std::vector<std::string> shown;
  auto previous = SetInformationBoxHook([&](const std::string& t) { shown.push_back(t); });
  ShowInformationBox("hello");
  SetInformationBoxHook(previous);
  ShowInformationBox("to stderr");
  EXPECT_EQ(shown, (std::vector<std::string>{"hello"}));
}

class Recorder : public TMessageTarget {
public:
  std::vector<uint32_t> Seen;
  void HandleMessage(const TMessage& m) override { Seen.push_back(m.Msg); }
};

TEST(MessageQueue, RunsInPostingOrderIncludingMessagesPostedByHandlers) {
  TMessageQueue queue(8);
  struct Chain : TMessageTarget {
    TMessageQueue* Q;
    std::vector<uint32_t> Seen;
    void HandleMessage(const TMessage& m) override {
      Seen.push_back(m.Msg);
      if (m.Msg < 3) Q->PostMessage(this, m.Msg + 10);
    }
  } chain;
  chain.Q = &queue;
  for (uint32_t i = 1; i <= 3; ++i) queue.PostMessage(&chain, i);
  EXPECT_EQ(queue.ProcessMessages(), 5);
  EXPECT_EQ(chain.Seen, (std::vector<uint32_t>{1, 2, 3, 11, 12}));
}

TEST(MessageQueue, FullQueueRefusesAndRemovedTargetIsSkipped) {
  TMessageQueue queue(2);
  Recorder a, b;
  int wakeups = 0;
  queue.SetWakeup([&] { ++wakeups; });
  EXPECT_TRUE(queue.PostMessage(&a, 1));
  EXPECT_TRUE(queue.PostMessage(&b, 2));
  EXPECT_FALSE(queue.PostMessage(&a, 3));
  EXPECT_EQ(wakeups, 2);
  queue.RemoveTarget(&a);
  queue.ProcessMessages();
  EXPECT_TRUE(a.Seen.empty());
  EXPECT_EQ(b.Seen, (std::vector<uint32_t>{2}));
  EXPECT_EQ(queue.Pending(), 0u);
}

}  // namespace
}  // namespace quellmarin
