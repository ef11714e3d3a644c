#include "lcnc/Resuming.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace lcnc {

std::string DefaultProfilePath() {
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr && *home != '\0' ? home : ".") + "/.engrave-lcnc-profile.xml";
}

std::string ResumeFileOf(const host::Options& options) {
  return ResumePath(options.profile.empty() ? DefaultProfilePath() : options.profile);
}

ComponentRecord ComponentRecordOf(const ArmedMoveRecord& move) {
  ComponentRecord record;
  record.job = move.tag.job;
  record.line = move.tag.line;
  if (move.lastFired >= 0)
    record.fired = std::max<long>(-1, long(move.lastFired - move.tag.bitShift));
  return record;
}

std::string DescribeResumePoint(long line, long afterStep) {
  std::string text = "line " + std::to_string(line);
  if (afterStep >= 0) text += " after step " + std::to_string(afterStep);
  return text;
}

void AdoptComponentRecord(const std::string& path, const ArmedMoveRecord& move) {
  if (move.tag.job == 0) return;
  std::string error;
  std::optional<ResumeRecord> record = ReadResumeFile(path, &error);
  if (!record || record->job != move.tag.job) return;
  const ResumePlan plan = PlanResume(*record, ComponentRecordOf(move));
  if (!record->running && plan.line == record->line && plan.afterStep == record->fired) return;
  record->line = plan.line;
  record->fired = plan.afterStep;
  record->running = false;
  if (!WriteResumeFile(path, *record, &error)) {
    std::fprintf(stderr, "engrave-lcnc: %s\n", error.c_str());
    return;
  }
  std::fprintf(stderr,
               "engrave-lcnc: the trigger component kept what the interrupted engraving fired: "
               "it goes on at %s (%s)\n",
               DescribeResumePoint(plan.line, plan.afterStep).c_str(), path.c_str());
}

bool ReadResume(const std::string& path, const std::string& picture, ResumeSetup* setup,
                std::string* why) {
  std::string error;
  std::optional<ResumeRecord> record = ReadResumeFile(path, &error);
  if (!record) {
    *why = error.empty() ? "nothing to resume: no interrupted engraving is kept in " + path : error;
    return false;
  }
  setup->record = *record;
  setup->picture = picture.empty() ? record->picture : picture;
  uint64_t bytes = 0, hash = 0;
  if (!FingerprintFile(setup->picture, &bytes, &hash)) {
    *why = "the picture " + setup->picture +
           " cannot be read (give the picture to use: " + "engrave-lcnc resume PICTURE)";
    return false;
  }
  if (bytes != record->pictureBytes || hash != record->pictureHash) {
    *why = "the picture changed: " + setup->picture +
           " is not the picture the interrupted engraving started with (" + record->picture + ")";
    return false;
  }
  return true;
}

bool PlanResumeOn(const MachineSettings& machine, const ArmedMoveRecord& move, ResumeSetup* setup,
                  std::string* why) {
  const ResumeRecord& record = setup->record;
  // Another scale puts every step somewhere else.
  if (std::fabs(machine.scaleX) != record.stepsPerUnitX ||
      std::fabs(machine.scaleY) != record.stepsPerUnitY) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "the machine's steps per unit differ: the INI's [JOINT_0]SCALE and "
                  "[JOINT_1]SCALE are %g and %g, the interrupted engraving ran at %g and %g",
                  std::fabs(machine.scaleX), std::fabs(machine.scaleY), record.stepsPerUnitX,
                  record.stepsPerUnitY);
    *why = text;
    return false;
  }
  setup->plan = PlanResume(record, ComponentRecordOf(move));
  if (setup->plan.finished) {
    *why = "nothing to resume: the interrupted engraving had fired all its " +
           std::to_string(record.lines) + " lines";
    return false;
  }
  return true;
}

}  // namespace lcnc
