// Going on with an interrupted engraving: where its resume file lives, what the trigger
// component still knows of it, and the checks before it may go on.
#pragma once

#include <string>

#include "host/HostOptions.h"
#include "lcnc/HalLink.h"
#include "lcnc/LcncHost.h"
#include "lcnc/ResumeFile.h"

namespace lcnc {

// The window's profile when no --profile names one: ~/.engrave-lcnc-profile.xml.
std::string DefaultProfilePath();
// The resume file of the profile the options name (the default one without --profile).
std::string ResumeFileOf(const host::Options& options);

// The component's record of its last move in the line's own numbering.
ComponentRecord ComponentRecordOf(const ArmedMoveRecord& move);

// When the component still holds the last move of the engraving recorded in the file (a host
// that died with LinuxCNC running on; TriggerBuffer::LastArmed), the file takes over what it
// fired, exactly: it is then kept even if LinuxCNC stops before the engraving goes on. Says so
// on stderr.
void AdoptComponentRecord(const std::string& path, const ArmedMoveRecord& move);

struct ResumeSetup {
  ResumeRecord record;
  ResumePlan plan;
  std::string picture;  // the file to load: the one given, else the recorded one
};

// Reads the record and checks the picture (its contents unchanged); false with the reason to
// refuse: nothing recorded, or the picture gone or changed.
bool ReadResume(const std::string& path, const std::string& picture, ResumeSetup* setup,
                std::string* why);
// Checks the machine (the INI's steps per unit as recorded) and plans where to go on with the
// component's record; false with the reason to refuse, also when nothing is left.
bool PlanResumeOn(const MachineSettings& machine, const ArmedMoveRecord& move, ResumeSetup* setup,
                  std::string* why);

// "line 7 after step 4120" or "line 7".
std::string DescribeResumePoint(long line, long afterStep);

}  // namespace lcnc
