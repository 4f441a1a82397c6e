#pragma once

#include "engine/ORVCRoVivazava.h"
#include "engine/UpgradeReport.h"

#include <QString>

// The decisions of the version checks as pure functions over one version set. The engine
// turns a verdict into reports and, for a downgrade, into the operator's question.
namespace orvane::engine {

enum class CheckTarget { Network, I2c };

struct CompatibilityVerdict {
  enum Kind { Accept, Refuse, AskDowngrade };
  Kind kind = Accept;
  QString text;   // Refuse: the refusal message; AskDowngrade: the question
};

// Whether the file of the set suits the device of the set, before anything is written.
// A downgrade within one major version is accepted in batch mode and asked otherwise.
CompatibilityVerdict evaluateCompatibility(const VersionSet& set, CheckTarget target, bool batchMode);

// How the device of the set compares with its file, whatever the mode: Incompatible with
// the refusal when the checks refuse the file, else by the firmware versions.
SetComparison compareSet(const VersionSet& set, CheckTarget target);

// After flashing: the device must run exactly the file's version.
bool deviceRunsFileVersion(const VersionSet& set);

inline const QString kVersionAfterFlashMismatch = QStringLiteral("Device version not equal to the file version.");

}  // namespace orvane::engine
