// One run of the tool: the banner, the command tail read, the checks made,
// then the list processing, the grouping when asked and the change report,
// each failure turned into its line and the run's exit code.
#include "driver/driver.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/command_tail.h"
#include "driver/messages.h"
#include "driver/refusals.h"
#include "grouping/grouping.h"
#include "memberlist/change_report.h"
#include "memberlist/memberlist.h"
#include "services/console.h"
#include "services/fileio.h"
#include "services/text.h"

namespace grenfel {
namespace {

constexpr double kSecondsPerDay = 86400;

void PrintLine(std::string_view text) {
  PrintText(text);
  PrintLineEnd();
}

// Writes the whole report to a new file and puts it on disk; on any failure
// the file is removed, so it is never left half written.
RunFailure WriteReportFile(FileSystem* fs, const std::string& name, std::string_view text) {
  std::unique_ptr<WritableFile> file;
  Status s = fs->OpenForWriting(name, WriteMode::kCreateEmptyOnly, &file);
  bool created = s.ok();
  if (created) {
    fs->RemoveOnFault(name, true);
    s = file->Append(text);
    if (s.ok()) s = file->Sync();
    if (s.ok()) s = file->Close();
    if (s.ok()) s = fs->SyncFolderOf(name);
    file.reset();
    fs->RemoveOnFault(name, false);
  }
  if (s.ok()) return RunFailure::None();
  if (created) fs->Delete(name);
  return RunFailure::Of(FailedStep::kWriteReport, s, name);
}

// A run that passed its checks: what its list processing, grouping and
// change report share.
struct ListRun {
  ListRun(FileSystem* fs, const ParsedTail& parsed)
      : fs(fs),
        options(parsed.options),
        longs(parsed.longOptions),
        sessionSize(options.sessionSize < 0 ? kDefaultSessionSize : options.sessionSize),
        grouping(sessionSize > 0),
        reporting(longs.reportGiven) {}

  FileSystem* const fs;
  const RunOptions& options;
  const LongOptions& longs;
  const int32_t sessionSize;
  const bool grouping;
  const bool reporting;
  ChangeReport report;
  bool reportWritten = false;
  // The list as the run writes it, when grouping must be worked out before
  // (or instead of) the grouping of the file.
  std::string written;
  std::vector<DomainRow> table;
  // The grouping worked out for the report, which GroupDomains then writes.
  KeptGroupPlan plan;
};

// Works out the grouping when the report needs it and writes the report.
RunFailure WriteReport(ListRun& run) {
  if (run.grouping) {
    if (!run.longs.dryRun) {
      GroupOutcome planned = PlanGrouping(run.options.listName, std::move(run.written),
                                          run.sessionSize, &run.table, &run.plan);
      if (!planned.failure.ok()) return planned.failure;
    }
    run.report.AddDomains(run.table);
  }
  RunFailure failure = WriteReportFile(run.fs, run.longs.reportName, run.report.text());
  run.reportWritten = failure.ok();
  return failure;
}

// Prints the failure's line; returns false, for the run has stopped.
bool Stop(ListRun& run, const RunFailure& failure) {
  // The report tells of a rewrite that did not happen as it says.
  if (run.reportWritten) run.fs->Delete(run.longs.reportName);
  PrintLine(ErrorLine(FailureLine(failure)));
  return false;
}

// False when the run stopped.
bool ProcessTheList(ListRun& run) {
  const RunOptions& options = run.options;
  const bool dryRun = run.longs.dryRun;
  ListRunMode mode;
  mode.dryRun = dryRun;
  if (run.reporting) mode.report = &run.report;
  if (run.grouping && (dryRun || run.reporting)) mode.writtenList = &run.written;
  if (run.reporting && !dryRun) mode.beforeCut = [&run]() { return WriteReport(run); };
  ListOutcome listed = ProcessList(run.fs, options.listName, options.includeName,
                                   options.excludeName, options.removeDuplicates, mode);
  if (!listed.failure.ok()) return Stop(run, listed.failure);
  // A list that was not rewritten was never cut: the report goes out now,
  // before grouping may cut it.
  if (run.reporting && !dryRun && !run.reportWritten) {
    RunFailure failure = WriteReport(run);
    if (!failure.ok()) return Stop(run, failure);
  }
  return true;
}

// False when the run stopped.
bool GroupTheList(ListRun& run) {
  SetTitle(GroupingTitle());
  const std::string& listName = run.options.listName;
  GroupOutcome grouped = run.longs.dryRun
                             ? GroupInMemory(listName, run.written, run.sessionSize,
                                             run.reporting ? &run.table : nullptr)
                             : GroupDomains(run.fs, listName, run.sessionSize, run.plan.get());
  run.plan.reset();
  if (!grouped.failure.ok()) return Stop(run, grouped.failure);
  if (grouped.tooFewNames) PrintLine(TooFewNamesLine());
  PrintLine(FoundDomainsLine(grouped.groups));
  return true;
}

// The list processing, then the grouping, with the change report when it
// is asked for. False when the run stopped on a failure.
bool RunList(FileSystem* fs, const ParsedTail& parsed) {
  ListRun run(fs, parsed);
  if (!ProcessTheList(run)) return false;
  if (run.grouping && !GroupTheList(run)) return false;
  if (run.reporting && run.longs.dryRun) {
    RunFailure failure = WriteReport(run);
    if (!failure.ok()) return Stop(run, failure);
  }
  return true;
}

}  // namespace

double RunSeconds(double startSeconds, double endSeconds) {
  double elapsed = endSeconds - startSeconds;
  return elapsed < 0 ? elapsed + kSecondsPerDay : elapsed;
}

int RunDriver(std::string_view commandTail, FileSystem* fs) {
  SetCutShortLine(&CutShortLine);
  PrintLine(BannerLine());
  ParsedTail parsed = ParseCommandTail(commandTail);
  if (parsed.showVersion) {
    PrintLine(VersionLine());
    return kExitOk;
  }
  if (parsed.showUsage) {
    for (std::string_view line : UsageLines()) PrintLine(line);
    return kExitOk;
  }
  if (std::optional<int> refused = RefuseBeforeRun(fs, parsed)) return *refused;

  SetTitle(SortingTitle(parsed.options.listName));
  double startSeconds = SecondsOfDay();
  if (!RunList(fs, parsed)) return kExitFailed;
  PrintLine(RuntimeLine(RunSeconds(startSeconds, SecondsOfDay())));
  if (parsed.longOptions.dryRun) PrintLine(DryRunLine());
  return kExitOk;
}

}  // namespace grenfel
