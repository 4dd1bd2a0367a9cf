// Running a test case on Windows (MinGW-w64, msvcrt): its standard input,
// and a child process of its own. Windows has no fork(): an isolated test
// case runs in a new process of the driver itself.
//
// Design of an isolated test case
// -------------------------------
// The parent (RunCaseIsolated) starts the driver's own executable with the
// command line "--run-isolated-case REQUEST RESULT", two inherited pipe
// handles. On REQUEST it writes the options, the function's name, the index
// and the test case as JSON; from RESULT it reads the child's result
// (isolation.h). The child's standard output and error are the driver's, its
// standard input is NUL: a test case reads only its vector's "stdin". A
// helper thread writes the request and then reads the result until the pipe
// ends, while the parent waits for the child within the time limit;
// TerminateProcess ends a hung child, which closes its ends of the pipes
// and so ends the helper's read.
//
// The child (RunIsolatedChild) first makes the two handles non-inheritable,
// so that processes a test case starts do not keep the result pipe open.
// It ends a crash without error dialog or debugger, with the exception's
// code: its unhandled-exception filter ends the process once the filter it
// replaced (MinGW's, which runs the program's signal() handlers, and the
// probe runtime's when the driver is linked with it) has had its turn. For
// abort(), which ends the process with status 3 and no exception, its
// SIGABRT handler first writes a result prepared beforehand ("crashed with
// signal 22 (Aborted)"): nothing is allocated on a thread that may have
// aborted inside the heap. The parent reads an NTSTATUS error code as exit
// status as a crash with that exception.
//
// Only the test case's own member goes to the child, and the JSON writer
// keeps every value as the parser gave it: integers as integers, reals with
// 17 significant digits (which read back to the same double), text bytes as
// they are (emitUTF8), so the driver routine reads what it would have read
// in the parent.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "events.h"
#include "execute.h"
#include "execute_port.h"
#include "isolation.h"

// msvcrt's FILE is a plain structure that names its buffer and descriptor:
// swapping the contents of `stdin` with those of a temporary file gives the
// call the text, and swapping back returns the driver's stream with its
// buffer as it was (the stream locks stay where they are). The UCRT hides
// the structure; a build on it must not take this path.
static_assert(sizeof(std::FILE) > sizeof(void*), "FILE is the open msvcrt structure");

FeedStdin::FeedStdin(const std::string& text) : text_(text) {
  file_ = std::tmpfile();
  if (file_ == nullptr) return;
  if (std::fwrite(text_.data(), 1, text_.size(), file_) != text_.size() ||
      std::fflush(file_) != 0) {
    std::fclose(file_);
    file_ = nullptr;
    return;
  }
  std::rewind(file_);
  std::swap(*stdin, *file_);
}

FeedStdin::~FeedStdin() {
  if (file_ == nullptr) return;
  std::swap(*stdin, *file_);
  std::fclose(file_);
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kChildOption[] = "--run-isolated-case";
constexpr wchar_t kChildOptionWide[] = L"--run-isolated-case";
// The exit status of a child ended at its time limit (the verdict says so).
constexpr UINT kTimedOutStatus = 1;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string SystemError(DWORD code) {
  char text[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, text, sizeof text, nullptr);
  while (n > 0 &&
         (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.'))
    --n;
  std::string message(text, n);
  return message.empty() ? "error " + std::to_string(code) : message;
}

bool WriteAll(HANDLE pipe, const std::string& bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    DWORD chunk = left > (1u << 20) ? (1u << 20) : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(pipe, p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    left -= written;
  }
  return true;
}

// Until the other end is closed (or, for a broken pipe, has gone).
void ReadAll(HANDLE pipe, std::string& bytes) {
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) bytes.append(buffer, n);
}

// ---- the request ------------------------------------------------------------

constexpr std::uint32_t kCapture = 1, kRecord = 2, kStrict = 4;

// The test case as the routine reads it: the root's member of that name, or
// the root itself when it is no object (the routine names its kind).
std::string CaseJson(const Json::Value& root, const std::string& key) {
  Json::Value value = root;
  if (root.isObject()) {
    value = Json::Value(Json::objectValue);
    if (root.isMember(key)) value[key] = root[key];
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  writer["commentStyle"] = "None";
  writer["emitUTF8"] = true;
  writer["precision"] = 17;
  writer["precisionType"] = "significant";
  return Json::writeString(writer, value);
}

std::string EncodeRequest(const Function& function, const Json::Value& root, int index,
                          const CaseOptions& options) {
  WireWriter out;
  out.U32((options.capture ? kCapture : 0) | (options.record ? kRecord : 0) |
          (options.strict ? kStrict : 0));
  out.Text(function.name);
  out.U32(static_cast<std::uint32_t>(index));
  out.Text(CaseJson(root, MakeCaseKey(function.name, index)));
  return out.bytes();
}

struct Request {
  CaseOptions options;
  std::string function;
  int index = 0;
  std::string json;
};

bool DecodeRequest(const std::string& bytes, Request& request) {
  WireReader in(bytes);
  std::uint32_t flags, index;
  if (!in.U32(flags) || !in.Text(request.function) || !in.U32(index) || !in.Text(request.json) ||
      !in.AtEnd() || index > 0x7fffffffu)
    return false;
  request.options.capture = (flags & kCapture) != 0;
  request.options.record = (flags & kRecord) != 0;
  request.options.strict = (flags & kStrict) != 0;
  request.index = static_cast<int>(index);
  return true;
}

// ---- the parent -------------------------------------------------------------

// The helper thread's work: the request out, the result in.
struct PipeWork {
  HANDLE requestWrite;
  HANDLE resultRead;
  std::string request;
  std::string result;
};

DWORD WINAPI ExchangeWithChild(LPVOID argument) {
  PipeWork& work = *static_cast<PipeWork*>(argument);
  // A child that died before it read everything breaks the pipe: the write
  // fails and the read below finds the end at once.
  WriteAll(work.requestWrite, work.request);
  CloseHandle(work.requestWrite);
  work.requestWrite = nullptr;
  ReadAll(work.resultRead, work.result);
  return 0;
}

// An inheritable copy of one of the driver's standard handles, or null.
HANDLE InheritableStdHandle(DWORD which) {
  HANDLE h = GetStdHandle(which);
  HANDLE copy = nullptr;
  if (h == nullptr || h == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS))
    return nullptr;
  return copy;
}

void CloseIfOpen(HANDLE& h) {
  if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  h = nullptr;
}

// What Windows ends a process with after an unhandled exception: an
// NTSTATUS of error severity from the system (not a customer code such as
// the 0xFFFFFFFF of exit(-1)), or one of the debugging warnings.
bool IsExceptionStatus(DWORD code) {
  return (code & 0xE0000000u) == 0xC0000000u || code == 0x80000002u || code == 0x80000003u ||
         code == 0x80000004u;
}

const char* ExceptionWords(DWORD code) {
  switch (code) {
    case 0xC0000005:
      return "access violation";
    case 0xC0000094:
      return "integer division by zero";
    case 0xC000001D:
      return "illegal instruction";
    case 0xC00000FD:
      return "stack overflow";
    case 0xC0000096:
      return "privileged instruction";
    case 0xC0000006:
      return "in-page error";
    case 0xC0000095:
      return "integer overflow";
    case 0xC000008C:
      return "array bounds exceeded";
    case 0xC000008E:
      return "floating-point division by zero";
    case 0xC0000090:
      return "invalid floating-point operation";
    case 0xC0000091:
      return "floating-point overflow";
    case 0xC0000093:
      return "floating-point underflow";
    case 0xC0000374:
      return "heap corruption";
    case 0xC0000409:
      return "stack buffer overrun or fail-fast";
    case 0x80000003:
      return "breakpoint";
    default:
      return "exception";
  }
}

std::string ExceptionText(DWORD code) {
  char text[96];
  std::snprintf(text, sizeof text, "crashed with exception 0x%08lX (%s)",
                static_cast<unsigned long>(code), ExceptionWords(code));
  return text;
}

CaseResult CannotIsolate(const std::string& what, DWORD error) {
  CaseResult result;
  result.verdict = Verdict::kError;
  result.message = "cannot isolate the test case: " + what + ": " + SystemError(error);
  return result;
}

std::wstring OwnExecutable() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// ---- the child --------------------------------------------------------------

LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;
void(__cdecl* g_previousAbort)(int) = SIG_DFL;
// The result pipe until the result is written; whoever takes it writes.
std::atomic<HANDLE> g_resultPipe{nullptr};
// The result of an abort(), encoded before the test case runs.
std::string g_abortResult;

LONG WINAPI EndCrashedChild(EXCEPTION_POINTERS* info) {
  const LONG verdict =
      g_previousFilter != nullptr ? g_previousFilter(info) : EXCEPTION_CONTINUE_SEARCH;
  if (verdict != EXCEPTION_CONTINUE_SEARCH) return verdict;
  const DWORD code = info != nullptr && info->ExceptionRecord != nullptr
                         ? info->ExceptionRecord->ExceptionCode
                         : EXCEPTION_NONCONTINUABLE_EXCEPTION;
  TerminateProcess(GetCurrentProcess(), code);
  return EXCEPTION_CONTINUE_SEARCH;
}

void __cdecl AbortedChild(int sig) {
  HANDLE pipe = g_resultPipe.exchange(nullptr);
  if (pipe != nullptr) {
    WriteAll(pipe, g_abortResult);
    CloseHandle(pipe);
  }
  if (g_previousAbort != SIG_DFL && g_previousAbort != SIG_IGN) {
    g_previousAbort(sig);
    return;
  }
  // msvcrt's default: the end with status 3 (abort() would end so too once
  // this returns, a raise() would not).
  std::signal(SIGABRT, SIG_DFL);
  std::raise(SIGABRT);
}

bool ParseHandle(const char* text, HANDLE& handle) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || value == 0) return false;
  handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
  return true;
}

int ChildError(const std::string& problem) {
  std::fprintf(stderr, "%s: %s\n", kChildOption, problem.c_str());
  return 2;
}

}  // namespace

CaseResult RunCaseIsolated(const Function& function, const Json::Value& root, int index,
                           const CaseOptions& options, double timeoutSeconds) {
  const Clock::time_point start = Clock::now();
  const std::wstring exe = OwnExecutable();
  if (exe.empty()) return CannotIsolate("GetModuleFileName", GetLastError());
  PipeWork work{nullptr, nullptr, EncodeRequest(function, root, index, options), std::string()};

  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE requestRead = nullptr, resultWrite = nullptr, nul = nullptr, out = nullptr, err = nullptr;
  if (!CreatePipe(&requestRead, &work.requestWrite, &inherit, 0))
    return CannotIsolate("CreatePipe", GetLastError());
  if (!CreatePipe(&work.resultRead, &resultWrite, &inherit, 0)) {
    const DWORD error = GetLastError();
    CloseIfOpen(requestRead);
    CloseIfOpen(work.requestWrite);
    return CannotIsolate("CreatePipe", error);
  }
  // The parent's ends stay here.
  SetHandleInformation(work.requestWrite, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(work.resultRead, HANDLE_FLAG_INHERIT, 0);
  nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                    OPEN_EXISTING, 0, nullptr);
  out = InheritableStdHandle(STD_OUTPUT_HANDLE);
  err = InheritableStdHandle(STD_ERROR_HANDLE);

  // A path holds no quotes; the handles are numbers.
  std::wstring commandLine = L"\"" + exe + L"\" " + kChildOptionWide + L" " +
                             std::to_wstring(reinterpret_cast<std::uintptr_t>(requestRead)) + L" " +
                             std::to_wstring(reinterpret_cast<std::uintptr_t>(resultWrite));
  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul == INVALID_HANDLE_VALUE ? nullptr : nul;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION child;
  std::memset(&child, 0, sizeof child);
  // What the driver printed so far comes before anything the child prints.
  std::fflush(stdout);
  std::fflush(stderr);
  // The driver runs one test case at a time on one thread: the only
  // inheritable handles at this moment are the five made for this child.
  const BOOL started = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &child);
  const DWORD startError = GetLastError();
  CloseIfOpen(requestRead);
  CloseIfOpen(resultWrite);
  CloseIfOpen(nul);
  CloseIfOpen(out);
  CloseIfOpen(err);
  if (!started) {
    CloseIfOpen(work.requestWrite);
    CloseIfOpen(work.resultRead);
    return CannotIsolate("CreateProcess", startError);
  }
  CloseHandle(child.hThread);

  HANDLE helper = CreateThread(nullptr, 0, ExchangeWithChild, &work, 0, nullptr);
  if (helper == nullptr) {
    const DWORD error = GetLastError();
    TerminateProcess(child.hProcess, kTimedOutStatus);
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hProcess);
    CloseIfOpen(work.requestWrite);
    CloseIfOpen(work.resultRead);
    return CannotIsolate("CreateThread", error);
  }
  const double limitMs = timeoutSeconds * 1000.0;
  const double spentMs = SecondsSince(start) * 1000.0;
  const DWORD waitMs = spentMs >= limitMs ? 0 : static_cast<DWORD>(limitMs - spentMs + 0.5);
  bool timedOut = false;
  if (WaitForSingleObject(child.hProcess, waitMs) != WAIT_OBJECT_0) {
    timedOut = true;
    TerminateProcess(child.hProcess, kTimedOutStatus);
    WaitForSingleObject(child.hProcess, INFINITE);
  }
  // The child's ends are closed now: the helper's read comes to its end.
  WaitForSingleObject(helper, INFINITE);
  CloseHandle(helper);
  CloseIfOpen(work.requestWrite);
  CloseIfOpen(work.resultRead);
  DWORD status = 0;
  GetExitCodeProcess(child.hProcess, &status);
  CloseHandle(child.hProcess);

  CaseResult result;
  if (timedOut) {
    result.verdict = Verdict::kError;
    result.message = TimedOutMessage(timeoutSeconds);
  } else if (IsExceptionStatus(status)) {
    result.verdict = Verdict::kError;
    result.message = ExceptionText(status);
  } else if (!DecodeCaseResult(work.result, result)) {
    result = CaseResult();
    result.verdict = Verdict::kError;
    result.message = EndedEarlyMessage(status);
  }
  result.seconds = SecondsSince(start);
  return result;
}

int RunIsolatedChild(int argc, char** argv, const std::vector<Function>& functions) {
  if (argc < 2 || std::strcmp(argv[1], kChildOption) != 0) return -1;
  HANDLE requestPipe = nullptr, resultPipe = nullptr;
  if (argc != 4 || !ParseHandle(argv[2], requestPipe) || !ParseHandle(argv[3], resultPipe))
    return ChildError("the driver's own option for an isolated test case, not for use by hand");
  // Processes the test case starts must not hold the pipes open.
  if (!SetHandleInformation(requestPipe, HANDLE_FLAG_INHERIT, 0) ||
      !SetHandleInformation(resultPipe, HANDLE_FLAG_INHERIT, 0))
    return ChildError("not the handles of an isolated test case");
  std::string bytes;
  ReadAll(requestPipe, bytes);
  CloseHandle(requestPipe);
  Request request;
  if (!DecodeRequest(bytes, request)) return ChildError("the request is incomplete");
  const Function* function = nullptr;
  for (const Function& f : functions)
    if (request.function == f.name) {
      function = &f;
      break;
    }
  if (function == nullptr) return ChildError("no function \"" + request.function + "\"");
  Json::Value root;
  Json::Reader reader;
  if (!reader.parse(request.json, root, false)) return ChildError("the test case is not JSON");

  // No error dialog, no debugger: a crash ends the process with its code.
  const UINT mode = SetErrorMode(0);
  SetErrorMode(mode | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  g_previousFilter = SetUnhandledExceptionFilter(EndCrashedChild);
  CaseResult aborted;
  aborted.verdict = Verdict::kError;
  aborted.message = "crashed with signal " + std::to_string(SIGABRT) + " (Aborted)";
  g_abortResult = EncodeCaseResult(aborted);
  g_resultPipe.store(resultPipe);
  g_previousAbort = std::signal(SIGABRT, AbortedChild);
  if (g_previousAbort == SIG_ERR) g_previousAbort = SIG_DFL;

  const CaseResult result = RunCase(*function, root, request.index, request.options);
  std::fflush(stdout);
  HANDLE pipe = g_resultPipe.exchange(nullptr);
  if (pipe != nullptr) {
    WriteAll(pipe, EncodeCaseResult(result));
    CloseHandle(pipe);
  }
  LeaveChild();
}
