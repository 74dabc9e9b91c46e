#pragma once
// The common base of every component that works on a measuring point: one
// switch (Active), one status flag (Dirty) and one operation (Execute).

#include "platform/Component.h"
#include "platform/Exception.h"

namespace quellmarin {

// Raised (with an empty message) when an analysis's entries cannot be used.
class EEntryInvalid : public Exception {
public:
  EEntryInvalid() : Exception(std::string()) {}
};

class TAnalysis : public TComponent {
public:
  explicit TAnalysis(TComponent* Owner) : TComponent(Owner) { SetActive(true); }

  // True while the settings have changed since the analysis last brought
  // itself up to date with them.
  bool Dirty() const { return FDirty; }
  bool Active() const { return FActive; }
  void SetActive(bool Value) { FActive = Value; }

  // Runs the analysis once on the descendant's measuring point. Not re-entrant;
  // never overlaps a setter of the same analysis.
  virtual void Execute() = 0;

protected:
  bool FDirty = false;
  bool FActive = true;
};

}  // namespace quellmarin
