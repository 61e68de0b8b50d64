// shelvio-cli: the start button's run over one folder, with the options of a settings file.

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <algorithm>
#include <csignal>
#include <cstdio>

#include "archive/zip_writer.h"
#include "base/names.h"
#include "base/native_name.h"
#include "engine/allocator.h"
#include "engine/app_paths.h"
#include "engine/archive_step.h"
#include "engine/error_text.h"
#include "engine/file_list.h"
#include "engine/file_ops.h"
#include "engine/ini_file.h"
#include "engine/run.h"
#include "engine/run_record.h"
#include "engine/settings.h"
#include "engine/undo.h"
#include "validation/xsd_validator.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

// Set by Ctrl-C; the run tests it before each book, as it tests the cancel button.
volatile std::sig_atomic_t cancelRequested = 0;

extern "C" void OnInterrupt(int) { cancelRequested = 1; }

const char kHelp[] =
    "Usage: shelvio-cli [--settings FILE] [--app-dir DIR] [--dry-run] [--on-zip-error abort|ignore]\n"
    "                   [--without-undo] FOLDER\n"
    "       shelvio-cli --undo [RECORD]\n"
    "       shelvio-cli --runs\n"
    "\n"
    "Validates the .fb2 books of FOLDER against the FictionBook schema, and moves each one: an\n"
    "invalid book to the folder for invalid files, a valid one, renamed and sorted as the settings\n"
    "say, below the processed folder, or to the folder for repeated files when its destination is\n"
    "taken. A book is never overwritten. This is the run of the window's start button.\n"
    "\n"
    "FOLDER is listed as the window lists it: files ending in .fb2 (and .fb2.zip, see ZipInput)\n"
    "in any letter case, hidden files (a leading \".\") left out, in the order of the user's\n"
    "locale. Folder values of the settings that are relative are taken relative to FOLDER.\n"
    "\n"
    "Options:\n"
    "  --settings FILE   the settings file to read (default: the one under Files below). It is\n"
    "                    read with the window's rules and defaults and never written. A missing\n"
    "                    default file means all defaults; a FILE given here must exist.\n"
    "  --app-dir DIR     run as a portable copy in DIR: the schema and the genre names are read\n"
    "                    from DIR/fls/, the settings from DIR/setting.ini, and the default work\n"
    "                    folders are DIR/tmp/bad/, DIR/tmp/end/ and DIR/tmp/double/ (default: as\n"
    "                    under Files below). The work folders are created at start, as the window\n"
    "                    does.\n"
    "  --dry-run         validate every book and compute every destination, print them, and\n"
    "                    change nothing on disk; a real run afterwards uses the same destinations.\n"
    "  --on-zip-error abort|ignore\n"
    "                    what to do when a book cannot be packed (default: abort): abort ends the\n"
    "                    run; ignore leaves the book unpacked at its destination and goes on.\n"
    "  --without-undo    move the books even when no record of the run can be written (no home\n"
    "                    folder is known, or its state folder cannot be written): such a run\n"
    "                    cannot be undone. Without it, such a run stops before the first book.\n"
    "  --undo [RECORD]   put every book of a run back where it came from: the run of RECORD (a\n"
    "                    record file, or its name in the records folder), the latest run when\n"
    "                    none is given. A book goes back only when the file the run left is still\n"
    "                    there unchanged; nothing at a book's first name is replaced. Folders the\n"
    "                    run created are removed when they are empty. Undoing twice changes\n"
    "                    nothing the second time.\n"
    "  --runs            list the records of runs: start time, folder, counts, record file.\n"
    "  -h, --help        this text.\n"
    "\n"
    "Settings (section [USER]; booleans are 1 or 0; defaults in parentheses; \"\\\" in folders and\n"
    "templates counts as \"/\"):\n"
    "  BadFileDir    folder for invalid books (bad/ in the work folder, see Files below); a\n"
    "                folder value without a trailing \"/\" gets one\n"
    "  EndDir        folder for processed books (end/ there)\n"
    "  DoubleDir     folder for books whose destination is taken (double/ there)\n"
    "  Rename        rename by the file-name template (1)\n"
    "  Sort          sort into sub-folders by the sort template (1)\n"
    "  Archive       pack each processed book into an archive of its own (1)\n"
    "  Pattern       file-name template (\"Фамилия Имя - Название\"); words or tokens:\n"
    "                Фамилия %last, Имя %first, Отчество %mid, Название %tit, Серия %seq,\n"
    "                Номер %num; a \"/\" or \"\\\" in it makes folders below the destination\n"
    "                folder, created as they are needed\n"
    "  SortPattern   sort template (\"Алфавит\\Автор\"); words or tokens: Автор %aut,\n"
    "                Алфавит %alph, Жанр %gen, Серия %seq, Язык %lang\n"
    "  Translit      transliterate new file names to Latin letters (0)\n"
    "  TranslitDir   transliterate the sort folder path (0)\n"
    "  SortLast, SortFirst, SortMiddle\n"
    "                the author's last, first, middle name in the author folder name (1, 1, 0)\n"
    "  FullGenres    full genre names from fls/genres.list instead of genre codes (1)\n"
    "  Valid         strict validation (1). With 0 (lenient), a book that does not conform to the\n"
    "                schema is handled like a valid one when it loads as XML and its root is\n"
    "                FictionBook in the FictionBook 2 namespace; the schema's first complaint is\n"
    "                then its line's REASON. Only books that fail one of those go to the folder\n"
    "                for invalid files.\n"
    "  ZipInput      take .fb2.zip files (any letter case) as books too (1). An archive whose only\n"
    "                entry is one .fb2 book is judged as it is inflated, without a temporary\n"
    "                file: invalid, the archive goes unchanged to the folder for invalid files;\n"
    "                valid, the book goes where a plain book would, packed again with its\n"
    "                compressed bytes as they are when Archive is 1, unpacked (CRC checked)\n"
    "                when it is 0, and the archive is removed once the book is in place. An\n"
    "                archive that is not one book (several entries, a folder, encryption, a\n"
    "                method other than deflate or stored, damage, an entry over 1 GiB or\n"
    "                inflating more than 500 times over) is kept where it is, REASON saying why.\n"
    "  ZipLevel      compression of the archives: 0 fastest, 1 maximum, 2 normal, 3 none (2)\n"
    "  Convert, ActivePage and the section [FORM] belong to the window and are not used here.\n"
    "\n"
    "Output: one line per book on standard output,\n"
    "  STATUS<TAB>SOURCE<TAB>TARGET<TAB>REASON\n"
    "STATUS is invalid (moved to the folder for invalid files), moved (to its destination; with\n"
    "archiving, TARGET is the archive, or the book itself when it stayed unpacked), repeat (to the\n"
    "folder for repeated files: anything at the destination, even a folder or a link, takes it),\n"
    "kept (the book stays where it was: the move failed, its metadata could not be read, or the\n"
    "book already is its destination)\n"
    "or missing (the book was gone before its move: another program or run took it). A book that\n"
    "changed while it was moved or packed (still being written, say) stays whole where it was.\n"
    "REASON is the validator's reason for invalid, the system's reason for kept and missing, the\n"
    "schema's complaint for a book that lenient mode moved although it does not conform, why a\n"
    "moved book was not packed, for a repeat the file that holds its name (\"The name is taken\n"
    "by ...\", the complaint after it), else empty.\n"
    "Inside a name a tab, a line break and a carriage return are written as \\t, \\n and \\r, a\n"
    "backslash as \\\\, each byte of another control character, of a line or paragraph separator\n"
    "or of a bidirectional control, and each byte that is not UTF-8 (a windows-1251 name, say) as\n"
    "\\xHH, so that every name reads back to its exact bytes. A summary with the counts follows\n"
    "on standard error, and a progress bar when standard error is a terminal.\n"
    "Ctrl-C stops the run after the current book; a second Ctrl-C ends the program at once.\n"
    "\n"
    "Every run except a dry run writes a record of what it did, one file per run, in\n"
    "$XDG_STATE_HOME/shelvio/runs/ (~/.local/state/shelvio/runs/ by default). Records are kept;\n"
    "delete the files to forget runs. --undo writes one line per book of the run,\n"
    "  restored<TAB>TARGET<TAB>SOURCE<TAB>   or   kept<TAB>TARGET<TAB>SOURCE<TAB>REASON\n"
    "and a summary on standard error.\n"
    "\n"
    "Exit status: 0 when the run went through every book or was cancelled, 1 when an error ended\n"
    "it (the message on standard error; a schema that does not load included), 2 for a usage\n"
    "error.\n";

void Print(FILE* stream, const QString& text) {
  const QByteArray bytes = text.toUtf8();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
}

// A name as one field of a tab-separated line, unambiguous and on one line: a backslash is written
// \\, a tab, a line break and a carriage return \t, \n and \r, each byte of any other character
// of IsNameControl (which breaks lines for some readers, or drives the terminal) and every byte
// that is not UTF-8 \xHH. Undoing these gives back the name's bytes exactly.
QString Field(const QString& text) {
  const auto hex = [](unsigned byte) {
    return QStringLiteral("\\x") + QString::number(byte, 16).toUpper().rightJustified(2, u'0');
  };
  QString result;
  result.reserve(text.size());
  for (QChar character : text) {
    const char16_t c = character.unicode();
    if (c == u'\\')
      result += QStringLiteral("\\\\");
    else if (c == u'\t')
      result += QStringLiteral("\\t");
    else if (c == u'\n')
      result += QStringLiteral("\\n");
    else if (c == u'\r')
      result += QStringLiteral("\\r");
    else if (HasForeignBytes(QString(character)))
      result += hex(c - 0xDC00);
    else if (IsNameControl(c))
      for (const char byte : QString(character).toUtf8()) result += hex(static_cast<unsigned char>(byte));
    else
      result += character;
  }
  return result;
}

// A reason as one field: libxml2's messages may span lines.
QString ReasonField(const QString& text) { return DisplayName(text.simplified()); }

// The run's shell on a terminal: options from the settings, one line per book, a progress bar.
class CliHost : public RunHost {
 public:
  explicit CliHost(SettingValues settings)
      : settings_(std::move(settings)), showBar_(::isatty(STDERR_FILENO) == 1) {}

  QString Text(TextOption option) override { return settings_.Text(SettingOf(option)); }
  bool Checked(CheckOption option) override { return settings_.Checked(SettingOf(option)); }
  SettingValues Options() override { return settings_; }
  void SetStatus(const QString& text) override { status_ = text; }
  // The book in hand: the run shows its name before it handles it.
  const QString& CurrentBook() const { return status_; }
  void SetProgressMax(int max) override { max_ = max; }
  void SetProgress(int position) override {
    position_ = position;
    DrawBar();
  }
  void PumpMessages() override {}
  bool CancelRequested() override { return cancelRequested != 0; }

  void BookDone(const BookOutcome& outcome) override {
    ++counts_[static_cast<int>(outcome.status)];
    ClearBar();
    Print(stdout, QStringLiteral("%1\t%2\t%3\t%4\n")
                      .arg(StatusWord(outcome.status), Field(outcome.source), Field(outcome.target),
                           ReasonField(outcome.reason)));
    std::fflush(stdout);
    DrawBar();
  }

  void ClearBar() {
    if (barShown_) std::fputs("\r\033[K", stderr);
    barShown_ = false;
  }

  int Handled() const { return counts_[0] + counts_[1] + counts_[2] + counts_[3] + counts_[4]; }

  QString Summary(qsizetype listed) const {
    return QStringLiteral(
               "Summary: listed %1, invalid %2, moved %3, repeat %4, kept %5, missing %6, not handled %7")
        .arg(listed)
        .arg(counts_[0])
        .arg(counts_[1])
        .arg(counts_[2])
        .arg(counts_[3])
        .arg(counts_[4])
        .arg(listed - Handled());
  }

 private:
  void DrawBar() {
    if (!showBar_ || max_ <= 0 || position_ <= 0) return;
    int columns = 80;
    struct winsize size {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) columns = size.ws_col;
    constexpr int kBarWidth = 30;
    const int filled = static_cast<int>(static_cast<long long>(kBarWidth) * position_ / max_);
    QString line = QStringLiteral("[%1%2] %3/%4 ")
                       .arg(QString(filled, u'#'), QString(kBarWidth - filled, u'.'))
                       .arg(position_)
                       .arg(max_);
    line += DisplayName(status_);
    if (line.size() > columns - 1) line.truncate(std::max(0, columns - 1));
    std::fputs("\r\033[K", stderr);
    Print(stderr, line);
    std::fflush(stderr);
    barShown_ = true;
  }

  SettingValues settings_;
  bool showBar_;
  bool barShown_ = false;
  QString status_;
  int max_ = 0;
  int position_ = 0;
  int counts_[5] = {0, 0, 0, 0, 0};
};

// Answers the ZIP writer's per-book question by the policy of --on-zip-error, and says so.
class PolicyPrompt : public ZipFilePrompt {
 public:
  explicit PolicyPrompt(ZipPromptAnswer answer) : answer_(answer) {}
  ZipPromptAnswer Ask(const QString& text, const EZipWriterError&, bool) override {
    Print(stderr, QStringLiteral("shelvio-cli: %1 (%2)\n")
                      .arg(text, answer_ == ZipPromptAnswer::Ignore ? QStringLiteral("ignored")
                                                                    : QStringLiteral("aborted")));
    return answer_;
  }

 private:
  ZipPromptAnswer answer_;
};

struct Arguments {
  QString settings;
  QString appDir;
  QString folder;
  bool dryRun = false;
  bool help = false;
  bool undo = false;
  bool runs = false;
  bool withoutUndo = false;
  QString onZipError = QStringLiteral("abort");
};

// Fills args; returns an empty string or the usage error.
QString ParseArguments(const QStringList& list, Arguments& args) {
  bool optionsEnded = false;
  QStringList positional;
  for (qsizetype i = 1; i < list.size(); ++i) {
    const QString& arg = list.at(i);
    if (optionsEnded || !arg.startsWith(u'-') || arg == QLatin1String("-")) {
      positional << arg;
      continue;
    }
    if (arg == QLatin1String("--")) {
      optionsEnded = true;
      continue;
    }
    if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
      args.help = true;
      continue;
    }
    if (arg == QLatin1String("--dry-run")) {
      args.dryRun = true;
      continue;
    }
    if (arg == QLatin1String("--undo")) {
      args.undo = true;
      continue;
    }
    if (arg.startsWith(QLatin1String("--undo="))) {
      args.undo = true;
      positional << arg.mid(7);
      continue;
    }
    if (arg == QLatin1String("--runs")) {
      args.runs = true;
      continue;
    }
    if (arg == QLatin1String("--without-undo")) {
      args.withoutUndo = true;
      continue;
    }
    QString name = arg;
    QString value;
    bool hasValue = false;
    if (const qsizetype equals = arg.indexOf(u'='); arg.startsWith(QLatin1String("--")) && equals > 0) {
      name = arg.left(equals);
      value = arg.mid(equals + 1);
      hasValue = true;
    }
    QString* target = nullptr;
    if (name == QLatin1String("--settings"))
      target = &args.settings;
    else if (name == QLatin1String("--app-dir"))
      target = &args.appDir;
    else if (name == QLatin1String("--on-zip-error"))
      target = &args.onZipError;
    else
      return QStringLiteral("unknown option %1").arg(arg);
    if (!hasValue) {
      if (i + 1 >= list.size()) return QStringLiteral("%1 needs a value").arg(name);
      value = list.at(++i);
    }
    if (value.isEmpty()) return QStringLiteral("%1 needs a value").arg(name);
    *target = value;
  }
  if (args.help) return {};
  if (args.undo || args.runs) {
    if (args.undo && args.runs) return QStringLiteral("--undo and --runs go alone");
    // The settings do not matter here: a record says everything its undo needs.
    if (args.dryRun) return QStringLiteral("%1 has no dry run").arg(args.undo ? "--undo" : "--runs");
    if (args.runs && !positional.isEmpty()) return QStringLiteral("--runs takes no argument");
    if (positional.size() > 1) return QStringLiteral("--undo takes one RECORD at most");
    args.folder = positional.value(0);
    return {};
  }
  if (args.onZipError != QLatin1String("abort") && args.onZipError != QLatin1String("ignore"))
    return QStringLiteral("--on-zip-error takes abort or ignore, not %1").arg(args.onZipError);
  if (positional.size() != 1)
    return positional.isEmpty() ? QStringLiteral("no FOLDER given")
                                : QStringLiteral("one FOLDER only, not %1").arg(positional.size());
  args.folder = positional.first();
  return {};
}

// The end of the help: where this copy of the program reads and writes, found as at a run.
QString FilesInUse(const AppPaths& paths) {
  const QString none = QStringLiteral("(none: no home folder is known)");
  const auto orNone = [&none](const QString& path) { return path.isEmpty() ? none : path; };
  const QString work =
      paths.tmpPath.isEmpty() ? none : QStringLiteral("%1bad/, %1end/, %1double/").arg(paths.tmpPath);
  return QStringLiteral(
             "\n"
             "Files: a copy of the program with fls/ beside it is portable when its folder, or a\n"
             "setting.ini in it, is writable: then everything lies beside it. Otherwise it is installed:\n"
             "the data in fls/ beside it or in ../share/shelvio/fls/, the settings in\n"
             "$XDG_CONFIG_HOME/shelvio/setting.ini (~/.config/shelvio/) and the default work folders in\n"
             "$XDG_DATA_HOME/shelvio/ (~/.local/share/shelvio/). Nothing is written below an install\n"
             "prefix. --app-dir DIR makes DIR the portable folder. This copy is %1 and uses:\n"
             "  data           %2fls/\n"
             "  settings       %3\n"
             "  work folders   %4\n")
      .arg(paths.portable ? QStringLiteral("portable") : QStringLiteral("installed"), paths.dataPath,
           orNone(paths.settingsFile), work);
}

// What is missing of the data folder appPath + "fls/", named; empty when its schema is there.
QString MissingData(const QString& appPath) {
  const QString folder = appPath + QStringLiteral("fls/");
  struct stat status {};
  if (::stat(NativeName(folder).constData(), &status) != 0 || !S_ISDIR(status.st_mode))
    return QStringLiteral("no data folder %1").arg(Field(folder));
  if (::stat(NativeName(folder + QStringLiteral("FictionBook.xsd")).constData(), &status) != 0)
    return QStringLiteral("no schema %1FictionBook.xsd").arg(Field(folder));
  return QString();
}

int UsageError(const QString& message) {
  Print(stderr, QStringLiteral("shelvio-cli: %1\nTry 'shelvio-cli --help'.\n").arg(message));
  return kExitUsage;
}

QString PathField(const QByteArray& path) { return Field(NameFromNative(path)); }

int ListRuns() {
  for (const QString& path : ListRunRecords()) {
    RunRecord record;
    QString error;
    if (!ReadRunRecord(path, &record, &error)) {
      Print(stderr, QStringLiteral("shelvio-cli: %1\n").arg(error));
      continue;
    }
    QString state = record.ended.isEmpty() ? QStringLiteral("killed") : record.ended;
    if (!record.undone.isEmpty()) state += QStringLiteral(", undone");
    Print(stdout, QStringLiteral("%1\t%2\t%3\t%4\t%5\n")
                      .arg(record.started, PathField(record.folder), record.Counts(), state,
                           QFileInfo(path).fileName()));
  }
  return kExitDone;
}

class CliUndoHost : public UndoHost {
 public:
  void BookUndone(const UndoOutcome& outcome) override {
    Print(stdout, QStringLiteral("%1\t%2\t%3\t%4\n")
                      .arg(UndoWord(outcome.restored), PathField(outcome.target), PathField(outcome.source),
                           ReasonField(outcome.reason)));
    std::fflush(stdout);
  }
  void FolderKept(const QByteArray& folder, const QString& reason) override {
    Print(stderr, QStringLiteral("shelvio-cli: folder %1 left alone: %2\n").arg(PathField(folder), reason));
  }
};

int Undo(const QString& name) {
  QString path;
  if (name.isEmpty()) {
    const QStringList records = ListRunRecords();
    if (records.isEmpty()) {
      const QString folder = RunsFolder();
      Print(stderr, folder.isEmpty()
                        ? QStringLiteral("shelvio-cli: no run to undo: no home folder is known\n")
                        : QStringLiteral("shelvio-cli: no run to undo in %1\n").arg(Field(folder)));
      return kExitError;
    }
    path = records.last();
  } else {
    struct stat status {};
    path = name.contains(u'/') || ::stat(NativeName(name).constData(), &status) == 0
               ? name
               : RunsFolder() + u'/' + name;
  }
  RunRecord record;
  QString error;
  if (!ReadRunRecord(path, &record, &error)) {
    Print(stderr, QStringLiteral("shelvio-cli: %1\n").arg(error));
    return kExitError;
  }
  CliUndoHost host;
  const UndoSummary summary = UndoRun(record, &host);
  Print(stderr, QStringLiteral("Summary: undo of %1: restored %2, kept %3, folders removed %4\n")
                    .arg(QFileInfo(path).fileName())
                    .arg(summary.restored)
                    .arg(summary.kept)
                    .arg(summary.foldersRemoved));
  return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
  PrepareAllocatorForRuns();
  QCoreApplication application(argc, argv);

  Arguments args;
  // The arguments' own bytes: QCoreApplication::arguments() would lose a folder name that is not
  // UTF-8.
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << NameFromNative(argv[i]);
  if (const QString error = ParseArguments(arguments, args); !error.isEmpty()) return UsageError(error);
  if (!args.help && args.runs) return ListRuns();
  if (!args.help && args.undo) return Undo(args.folder);

  // Every path of the command line is fixed before the current directory becomes FOLDER.
  const AppPaths paths = args.appDir.isEmpty() ? ResolveAppPaths(QCoreApplication::applicationDirPath())
                                               : PortableAppPaths(AbsolutePath(args.appDir));
  if (args.help) {
    std::fputs(kHelp, stdout);
    Print(stdout, FilesInUse(paths));
    return kExitDone;
  }
  if (paths.tmpPath.isEmpty()) {
    Print(stderr,
          QStringLiteral("No home folder is known for the settings and the work folders: set HOME.\n"));
    return kExitError;
  }
  const QString appPath = paths.dataPath;
  const QString tmpPath = paths.tmpPath;
  QString settingsPath = paths.settingsFile;
  if (!args.settings.isEmpty()) {
    // By its own bytes: a name that is not UTF-8 is still the file.
    settingsPath = AbsolutePath(args.settings);
    struct stat status {};
    if (::stat(NativeName(settingsPath).constData(), &status) != 0 || !S_ISREG(status.st_mode))
      return UsageError(QStringLiteral("no settings file %1").arg(Field(args.settings)));
  }
  const QString folder = AbsolutePath(args.folder);
  if (!DirectoryExists(folder))
    return UsageError(QStringLiteral("no folder %1").arg(DisplayName(args.folder)));

  // Without the schema no book can be judged: said before any book, naming what is missing.
  if (const QString missing = MissingData(appPath); !missing.isEmpty()) {
    Print(stderr, QStringLiteral("shelvio-cli: %1: the schema FictionBook.xsd and the genre names are read "
                                 "from there\n")
                      .arg(missing));
    return kExitError;
  }

  // A key or value the run passes over would otherwise send the books somewhere unexpected in
  // silence (a misspelt EndDir: the default folder).
  for (const QString& warning : SettingsWarnings(IniFile(settingsPath)))
    Print(stderr, QStringLiteral("shelvio-cli: warning: %1\n").arg(warning));
  const SettingValues settings = ReadSettings(IniFile(settingsPath), tmpPath);

  // A run without a record cannot be undone: said before the first book, and such a run only
  // goes on when the user asked for it.
  if (!args.dryRun) {
    if (const QString problem = RecordFolderProblem(); !problem.isEmpty()) {
      if (!args.withoutUndo) {
        Print(stderr, QStringLiteral("shelvio-cli: no record of the run can be written, so it could not be "
                                     "undone: %1\nNothing was moved. Give --without-undo to move the "
                                     "books all the same.\n")
                          .arg(problem));
        return kExitError;
      }
      Print(stderr, QStringLiteral("shelvio-cli: warning: no record of the run can be written: %1; the run "
                                   "goes on without one (--without-undo) and cannot be undone\n")
                        .arg(problem));
    }
  }
  CliHost cliHost(settings);
  DiskFiles disk;
  DryRunFiles dry;
  BookFiles& files = args.dryRun ? static_cast<BookFiles&>(dry) : disk;
  // As the window does when it loads its settings; a dry run only pretends to, so that its
  // predictions match.
  CreateDefaultWorkFolders(tmpPath, files);
  TZipWriter zip;
  zip.SetCompressionLevel(CompressionLevelOfChoice(settings.Number(SettingNamed("ZipLevel"))));
  PolicyPrompt prompt(args.onZipError == QLatin1String("ignore") ? ZipPromptAnswer::Ignore
                                                                 : ZipPromptAnswer::Abort);
  zip.SetPrompt(&prompt);
  ZipArchiveStep zipStep(zip);
  DryRunArchiveStep dryStep(dry);
  ArchiveStep& archive = args.dryRun ? static_cast<ArchiveStep&>(dryStep) : zipStep;

  const QStringList items = ListBooksToRun(folder, files, settings.Checked(SettingNamed("ZipInput")));
  if (::chdir(NativeName(folder).constData()) != 0) {
    Print(stderr, QStringLiteral("Unable to open folder %1.\n").arg(DisplayName(folder)));
    return kExitError;
  }

  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  action.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the program the usual way
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);

  // A real run keeps a record of what it does, for the person who reads it and for --undo.
  RecordingHost recording(cliHost, folder, QStringLiteral("shelvio-cli"));
  RunHost& host = args.dryRun ? static_cast<RunHost&>(cliHost) : recording;

  int exitCode = kExitDone;
  QString failure;
  try {
    TXSDValidator validator;
    QString schemaError;
    if (!StartRun(host, items, validator, appPath, files, &archive, &schemaError)) {
      failure = schemaError.trimmed();
      exitCode = kExitError;
    }
  } catch (...) {
    failure = ErrorBoxText(CurrentErrorMessage());
    exitCode = kExitError;
  }

  cliHost.ClearBar();
  if (!failure.isEmpty()) Print(stderr, failure + u'\n');
  // An error that ends the run ends it at a book: say which, as the window's status line does. The
  // idle text is no book: then the run ended before its first.
  if (exitCode == kExitError && !cliHost.CurrentBook().isEmpty() &&
      cliHost.CurrentBook() != QString::fromUtf16(kIdleStatus))
    Print(stderr, QStringLiteral("The run ended at the book %1\n").arg(Field(cliHost.CurrentBook())));
  QString summary = cliHost.Summary(items.size());
  if (exitCode == kExitError) {
    summary += QStringLiteral("; ended by an error");
    recording.Finish(QStringLiteral("error: ") + failure);
  } else if (cliHost.Handled() < items.size()) {
    summary += QStringLiteral("; cancelled");
    recording.Finish(QStringLiteral("cancelled"));
  } else {
    recording.Finish(QStringLiteral("done"));
  }
  if (!recording.Error().isEmpty())
    Print(stderr, QStringLiteral("shelvio-cli: the run's record is incomplete: %1\n").arg(recording.Error()));
  else if (!recording.Path().isEmpty())
    summary += QStringLiteral("; record %1").arg(recording.Path());
  if (args.dryRun) summary += QStringLiteral("; dry run, nothing changed");
  Print(stderr, summary + u'\n');
  return exitCode;
}
