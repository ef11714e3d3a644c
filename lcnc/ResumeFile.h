// The resume file: what an interrupted engraving needs to go on where it stopped, kept beside
// the profile. It names the picture (with a fingerprint of its contents), holds every setting
// of the dialog as the dialog showed it when the engraving started, the machine's steps per
// unit, and how far the raster got: the line to go on with and the last step of that line that
// fired. Plain text, one "key value" per line, written to a sibling file that is synced and
// renamed over the old one, so that a crash leaves the old record or the new one, whole.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace lcnc {

// A setting the resume file keeps: its key, the dialog's control, and whether resuming types
// it back in (the others are derived from the picture and the machine, and only compared).
struct ResumeField {
  const char* key;
  int controlId;
  enum class Kind { kText, kBox, kDerived } kind;
};
extern const std::array<ResumeField, 16> kResumeFields;

struct ResumeRecord {
  uint32_t job = 0;  // the engraving's number, as the trigger component keeps it per move
  std::string picture;
  uint64_t pictureBytes = 0;
  uint64_t pictureHash = 0;
  double stepsPerUnitX = 0.0, stepsPerUnitY = 0.0;
  std::map<int, std::string> fields;  // by control id, the dialog's text ("1"/"0" for boxes)
  long lines = 0;                     // the raster's lines
  long line = 1;                      // from 1: the line to go on with
  long fired = -1;  // that line's last step that fired, from the line's edge; -1 none
  // Saved while that line may still have been firing: steps after `fired` may have fired too.
  bool running = false;
};

// Beside the profile: PROFILE.resume.
std::string ResumePath(const std::string& profile);

// The size and a 64-bit FNV-1a hash of a file's contents; false when it cannot be read.
bool FingerprintFile(const std::string& path, uint64_t* bytes, uint64_t* hash);

// Writes the record safely (sibling file, synced, renamed over, folder synced). False with a
// reason.
bool WriteResumeFile(const std::string& path, const ResumeRecord& record, std::string* error);
// Reads it back: nothing and an empty error when there is no file; nothing and a reason when
// it cannot be read or is not a whole record.
std::optional<ResumeRecord> ReadResumeFile(const std::string& path, std::string* error);

// What the trigger component still holds of the last move armed (engrave-lcnc's own record,
// exact, as long as LinuxCNC has not restarted): its engraving, its line (from 0) and the last
// step of that line that fired, from the line's edge (-1 none).
struct ComponentRecord {
  uint32_t job = 0;
  long line = -1;
  long fired = -1;
};

// Where resuming goes on: at line `line` (from 1), firing only the steps after `afterStep`.
struct ResumePlan {
  long line = 1;
  long afterStep = -1;
  bool finished = false;  // nothing is left to engrave
  // How the plan was made when the record could not say exactly what fired.
  std::string note;
};

// The plan from the record and the component's record. The component's record decides when
// it belongs to the same engraving. Otherwise a record saved while a line was firing cannot
// tell how far that line got after the save: the line counts as engraved to its end, so that
// no dot fires twice, and the note says so.
ResumePlan PlanResume(const ResumeRecord& record, const ComponentRecord& component);

// The answers that arm the recorded engraving again through the setup dialog, from `line`.
std::string ComposeResumeScript(const ResumeRecord& record, const std::string& picture, long line);

// The first setting (or derived value) the dialog shows now that differs from the record's,
// as "width 90 (was 100)"; empty when all agree.
std::string SettingsDifference(const ResumeRecord& record, const std::map<int, std::string>& shown);

}  // namespace lcnc
