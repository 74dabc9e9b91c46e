#pragma once
// The live loop on the virtual card's manual clock, with an engine and an
// audio component as the window sets them up; the test plays the window.

#include <gtest/gtest.h>

#include <memory>

#include "app/LiveLoop.h"
#include "app/Utils.h"
#include "platform/MessageQueue.h"
#include "soundsystem/virtual/VirtualSoundCard.h"

namespace quellmarin {

class TLoopRig : public ::testing::Test {
protected:
  void SetUp() override {
    card = std::make_unique<TVirtualSoundCard>(TVirtualSoundCard::ckManual);
    card->SetKeepPlayed(false);
    audio = new TAudio(&owner, *card, queue);
    SetupRecorder(audio);
    engine.Init(&owner, audio, ftLowPass, 0);
    audio->Recorder()->SetTriggered(true);  // free-running, as the window starts it
    loop = std::make_unique<TLiveLoop>(*audio, engine);
  }
  void TearDown() override { loop.reset(); }

  // Destroyed in reverse: the loop, then what the owner owns, then the card.
  std::unique_ptr<TVirtualSoundCard> card;
  TMessageQueue queue;
  TComponent owner{nullptr};
  TAudio* audio = nullptr;
  TFFT engine;
  std::unique_ptr<TLiveLoop> loop;
};

}  // namespace quellmarin
