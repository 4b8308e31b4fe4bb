// tbsmb1s-serve: a small host that serves folders read-only over SMB1, or
// runs a simulation script, using only the library's public interface.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#include <io.h>

#include <atomic>
#else
#include <grp.h>
#include <pwd.h>
#include <termios.h>
#include <unistd.h>
#endif

#include "tbsmb1s.h"

namespace {

constexpr const char *k_usage =
    "usage: tbsmb1s-serve [--listen ADDR:PORT] [--share NAME=PATH]... [--user NAME]\n"
    "                     [--allow CIDR]... [--option KEY=VALUE]... [--server-name NAME]\n"
    "                     [--stats SECONDS] [--run-as USER] [-q] [FOLDER]...\n"
    "       tbsmb1s-serve --simulate SCRIPT [--peer ADDR] [-q] [share, user, allow and option flags]\n"
    "       tbsmb1s-serve --version\n"
    "Serves FOLDER (or the current folder) read-only over SMB1 on 127.0.0.1:4450 by default.\n"
    "Connections, logons, tree connects, refusals and disconnects are logged on standard\n"
    "error, one timestamped line each; -q turns that off.\n"
    "--user reads the password from TBSMB1S_PASSWORD, or from standard input when unset.\n"
#ifdef _WIN32
    "Ctrl-C, Ctrl-Break or closing the console stops the server and prints its statistics.\n"
    "--run-as is not available on Windows.\n";
#else
    "--run-as drops root to USER once the listener is bound.\n"
    "SIGINT or SIGTERM stops the server and prints its statistics; SIGUSR1 prints them;\n"
    "SIGHUP is ignored.\n";
#endif

struct share_arg {
    std::string name, path;
};

struct config {
    std::string address = "127.0.0.1";
    uint32_t port = 4450;
    std::vector<share_arg> shares;
    std::vector<std::string> users, allows, options;  // options as KEY=VALUE
    std::string server_name;
    int stats_seconds = 0;
    std::string simulate, peer;
    std::string run_as;  // the user to become once the listener is bound
    bool quiet = false;  // -q: no event lines
};

void log_stop();

[[noreturn]] void bad(const std::string &msg)
{
    log_stop();
    std::fprintf(stderr, "tbsmb1s-serve: %s\n", msg.c_str());
    std::exit(2);
}

// Fails with the library's own message for a refused call.
void check(int32_t rc, const std::string &what)
{
    if (rc != 0)
        bad(what + ": " + tbsmb1s_last_error());
}

bool parse_uint(const std::string &s, unsigned long max, unsigned long *out)
{
    if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long v = std::stoul(s);
    if (v > max)
        return false;
    *out = v;
    return true;
}

// ADDR:PORT, [IPv6]:PORT, or an address alone (the default port stays).
void parse_listen(const std::string &s, config *c)
{
    std::string addr = s, port;
    if (!s.empty() && s[0] == '[') {
        size_t close = s.find(']');
        if (close == std::string::npos)
            bad("--listen: missing ']' in " + s);
        addr = s.substr(1, close - 1);
        if (close + 1 < s.size()) {
            if (s[close + 1] != ':')
                bad("--listen: expected ':PORT' after ']' in " + s);
            port = s.substr(close + 2);
        }
    } else if (std::count(s.begin(), s.end(), ':') == 1) {
        addr = s.substr(0, s.find(':'));
        port = s.substr(s.find(':') + 1);
    }
    if (addr.empty())
        addr = "127.0.0.1";
    unsigned long p = c->port;
    if (!port.empty() && !parse_uint(port, 65535, &p))
        bad("--listen: bad port in " + s);
    c->address = addr;
    c->port = uint32_t(p);
}

#ifdef _WIN32
std::string utf8_of(const wchar_t *w)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? size_t(n) : 1, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    s.resize(std::strlen(s.c_str()));
    return s;
}

std::wstring wide_of(const std::string &s)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
    std::wstring w(n > 0 ? size_t(n) : 1, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), n);
    w.resize(std::wcslen(w.c_str()));
    return w;
}

// The full path of a folder, or the path itself when it has none.
std::string full_path(const std::string &path)
{
    wchar_t full[32768];
    DWORD n = GetFullPathNameW(wide_of(path).c_str(), DWORD(std::size(full)), full, nullptr);
    return n > 0 && n < std::size(full) ? utf8_of(full) : path;
}

std::string current_folder()
{
    wchar_t cwd[32768];
    DWORD n = GetCurrentDirectoryW(DWORD(std::size(cwd)), cwd);
    if (n == 0 || n >= std::size(cwd))
        bad("cannot read the current folder");
    return utf8_of(cwd);
}

constexpr const char *k_seps = "\\/";
#else
std::string full_path(const std::string &path)
{
    char real[PATH_MAX];
    return realpath(path.c_str(), real) ? real : path;
}

std::string current_folder()
{
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
        bad("cannot read the current folder");
    return cwd;
}

constexpr const char *k_seps = "/";
#endif

// The base name of a folder, used as its share name ("root" for '/', and
// for a drive's root on Windows).
std::string base_name(const std::string &path)
{
    std::string p = full_path(path);
    while (p.size() > 1 && std::strchr(k_seps, p.back()))
        p.pop_back();
    size_t slash = p.find_last_of(k_seps);
    std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    return name.empty() || name.back() == ':' ? "root" : name;
}

config parse_args(int argc, char **argv)
{
    config c;
    std::vector<std::string> folders;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                bad(a + " needs a value");
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            std::fputs(k_usage, stdout);
            std::exit(0);
        } else if (a == "--version") {
            std::printf("tbsmb1s-serve %s\n", tbsmb1s_version());
            std::exit(0);
        } else if (a == "-q" || a == "--quiet") {
            c.quiet = true;
        } else if (a == "--run-as") {
            c.run_as = value();
        } else if (a == "--listen") {
            parse_listen(value(), &c);
        } else if (a == "--share") {
            std::string v = value();
            size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == v.size())
                bad("--share: expected NAME=PATH, got " + v);
            c.shares.push_back({v.substr(0, eq), v.substr(eq + 1)});
        } else if (a == "--user") {
            c.users.push_back(value());
        } else if (a == "--allow") {
            c.allows.push_back(value());
        } else if (a == "--option") {
            std::string v = value();
            if (v.find('=') == std::string::npos)
                bad("--option: expected KEY=VALUE, got " + v);
            c.options.push_back(v);
        } else if (a == "--server-name") {
            c.server_name = value();
        } else if (a == "--stats") {
            unsigned long s;
            if (!parse_uint(value(), 86400, &s) || s == 0)
                bad("--stats: seconds from 1 to 86400");
            c.stats_seconds = int(s);
        } else if (a == "--simulate") {
            c.simulate = value();
        } else if (a == "--peer") {
            c.peer = value();
        } else if (a.size() > 1 && a[0] == '-') {
            bad("unknown flag " + a + " (see --help)");
        } else {
            folders.push_back(a);
        }
    }
    for (const std::string &f : folders)
        c.shares.push_back({base_name(f), f});
    return c;
}

#ifdef _WIN32
// Turns the echo of a console on standard input off for its lifetime.
struct echo_off {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    bool changed = false;

    echo_off()
    {
        if (GetConsoleMode(in, &mode))
            changed = SetConsoleMode(in, mode & ~DWORD(ENABLE_ECHO_INPUT)) != 0;
    }
    ~echo_off()
    {
        if (changed) {
            SetConsoleMode(in, mode);
            std::fputc('\n', stderr);  // the line feed the user typed was not echoed
        }
    }
    echo_off(const echo_off &) = delete;
    echo_off &operator=(const echo_off &) = delete;
};

bool stdin_is_terminal() { return _isatty(_fileno(stdin)) != 0; }
#else
// The terminal settings in force before the password prompt turned echo off,
// put back by the guard or, when a signal ends the program at the prompt, by
// the handler.
termios g_tty_saved;

extern "C" void restore_tty_and_resend(int sig)
{
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_tty_saved);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Turns the echo of a terminal on standard input off for its lifetime.
struct echo_off {
    static constexpr int k_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
    struct sigaction before[std::size(k_signals)] = {};
    bool changed = false;

    echo_off()
    {
        if (tcgetattr(STDIN_FILENO, &g_tty_saved) != 0)
            return;
        termios quiet = g_tty_saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        struct sigaction restore = {};
        restore.sa_handler = restore_tty_and_resend;
        sigemptyset(&restore.sa_mask);
        for (size_t i = 0; i < std::size(k_signals); i++)
            sigaction(k_signals[i], &restore, &before[i]);
        changed = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~echo_off()
    {
        if (changed) {
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_tty_saved);
            std::fputc('\n', stderr);  // the line feed the user typed was not echoed
        }
        for (size_t i = 0; i < std::size(k_signals); i++)
            sigaction(k_signals[i], &before[i], nullptr);
    }
    echo_off(const echo_off &) = delete;
    echo_off &operator=(const echo_off &) = delete;
};

bool stdin_is_terminal() { return isatty(STDIN_FILENO) != 0; }
#endif

// The password of --user: TBSMB1S_PASSWORD, else one line of standard input,
// so it never shows in the process list. Typed on a terminal, it is not
// echoed either.
std::string read_password(const std::string &user)
{
    if (const char *env = std::getenv("TBSMB1S_PASSWORD"))
        return env;
    std::string line;
    bool ok;
    if (stdin_is_terminal()) {
        echo_off quiet;
        std::fprintf(stderr, "password for %s: ", user.c_str());
        std::fflush(stderr);
        ok = bool(std::getline(std::cin, line));
    } else {
        ok = bool(std::getline(std::cin, line));
    }
    if (!ok)
        bad("--user " + user + ": no password on standard input and TBSMB1S_PASSWORD unset");
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

void configure(config *c)
{
    check(tbsmb1s_set_option("allow_smb1", "1"), "allow_smb1");
    for (const std::string &o : c->options) {
        size_t eq = o.find('=');
        check(tbsmb1s_set_option(o.substr(0, eq).c_str(), o.substr(eq + 1).c_str()), "--option " + o);
    }
    if (c->shares.empty() && c->simulate.empty()) {
        std::string cwd = current_folder();
        c->shares.push_back({base_name(cwd), cwd});
    }
    for (const share_arg &s : c->shares)
        check(tbsmb1s_add_share(s.name.c_str(), s.path.c_str()), "--share " + s.name + "=" + s.path);
    for (const std::string &u : c->users)
        check(tbsmb1s_add_user(u.c_str(), read_password(u).c_str()), "--user " + u);
    for (const std::string &a : c->allows)
        check(tbsmb1s_allow_cidr(a.c_str()), "--allow " + a);
}

#ifdef _WIN32
// Windows has no user to become: --run-as is refused before anything starts.
struct account {
    std::string name;
};

account look_up(const std::string &user) { bad("--run-as " + user + ": not available on Windows"); }

void drop_to(const account &) {}
#else
// The account of --run-as, looked up before anything starts.
struct account {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
};

account look_up(const std::string &user)
{
    errno = 0;
    passwd *pw = getpwnam(user.c_str());
    if (!pw)
        bad("--run-as " + user + ": " + (errno ? std::strerror(errno) : "no such user"));
    return {pw->pw_name, pw->pw_uid, pw->pw_gid};
}

// Becomes the account for good: its groups, its group, then its user. The
// library's threads change with the process. Any failure stops the program.
void drop_to(const account &a)
{
    auto fail = [&](const char *what) {
        std::string why = std::strerror(errno);
        tbsmb1s_stop();
        bad("--run-as " + a.name + ": " + what + ": " + why);
    };
    if (geteuid() == a.uid && getegid() == a.gid && getuid() == a.uid && getgid() == a.gid)
        return;  // already that user: nothing to give up
    if (initgroups(a.name.c_str(), a.gid) != 0)
        fail("cannot set the groups");
    if (setgid(a.gid) != 0)
        fail("cannot set the group");
    if (setuid(a.uid) != 0)
        fail("cannot set the user");
    errno = EPERM;
    if (a.uid != 0 && (setuid(0) == 0 || seteuid(0) == 0))
        fail("root could be taken back");
}
#endif

// s as one word for a POSIX shell: as it is when it holds only safe
// characters, else in single quotes.
std::string shell_word(const std::string &s)
{
    constexpr const char *safe = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789@%+=:,./_-";
    if (!s.empty() && s.find_first_not_of(safe) == std::string::npos)
        return s;
    std::string out = "'";
    for (char ch : s)
        out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return out + "'";
}

// --- The event log ---
//
// Each event becomes one line on standard error:
//   2026-03-15T12:34:56.789Z logon conn=3 peer=192.0.2.7 user=alice
// The library calls on_event on its connection threads, which wait while it
// runs; it only formats the line (with the time of the event) and queues it.
// A thread of its own writes the queue, so a slow standard error (a full
// pipe, a busy journal) never holds up a connection. Lines beyond k_queue_max
// are dropped and the count of them is written once there is room again.

constexpr size_t k_queue_max = 10000;

struct event_log {
    std::mutex lock;
    std::condition_variable more;
    std::deque<std::string> lines;
    uint64_t dropped = 0;
    bool closing = false;
    std::thread writer;
};
event_log g_log;

// A value as one word: bare when it is non-empty and holds no space, quote,
// backslash, '=' or control character, else in double quotes with '"' and
// '\' escaped and control characters as \xNN. A client chooses some of these
// texts (user and share names, paths), so none of them can break a line.
std::string word(const char *v)
{
    std::string s = v ? v : "";
    bool bare = !s.empty();
    for (unsigned char ch : s)
        if (ch <= 0x20 || ch == 0x7F || ch == '"' || ch == '\\' || ch == '=')
            bare = false;
    if (bare)
        return s;
    std::string out = "\"";
    for (unsigned char ch : s) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += char(ch);
        } else if (ch < 0x20 || ch == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", ch);
            out += hex;
        } else {
            out += char(ch);
        }
    }
    return out + "\"";
}

// UTC, ISO 8601 to the millisecond: 2026-03-15T12:34:56.789Z.
std::string timestamp()
{
    using namespace std::chrono;
    auto now = system_clock::now();
    auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
    time_t secs = time_t(ms / 1000);
    tm t{};
#ifdef _WIN32
    gmtime_s(&t, &secs);
#else
    gmtime_r(&secs, &t);
#endif
    char text[32];
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &t);
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%03dZ", int(ms % 1000));
    return std::string(text, n) + frac;
}

// The line of one event, without its line feed.
std::string event_line(const tbsmb1s_event *e)
{
    std::string who = " peer=" + word(e->peer);
    if (e->connection != 0)
        who = " conn=" + std::to_string(e->connection) + who;
    std::string user = e->user[0] ? " user=" + word(e->user) : "";
    std::string line = timestamp() + " ";
    switch (e->kind) {
    case TBSMB1S_EVENT_CONNECTED:
        return line + "connect" + who;
    case TBSMB1S_EVENT_REFUSED:
        return line + "refuse" + who + " reason=" + (e->reason == TBSMB1S_REFUSED_FULL ? "full" : "allow-list");
    case TBSMB1S_EVENT_LOGON:
        return line + "logon" + who + (e->guest ? " guest" : "") + user;
    case TBSMB1S_EVENT_LOGON_FAILED:
        return line + "logon-failed" + who + (e->guest ? " guest" : "") + user;
    case TBSMB1S_EVENT_TREE:
        return line + "tree" + who + " share=" + word(e->share);
    case TBSMB1S_EVENT_TREE_REFUSED:
        return line + "tree-refused" + who + " share=" + word(e->share);
    case TBSMB1S_EVENT_SMB2_ONLY:
        return line + "smb2-only" + who;
    case TBSMB1S_EVENT_WRITE_REFUSED:
        return line + "write-refused" + who + " share=" + word(e->share) + " command=" + word(e->command) +
               (e->path[0] ? " path=" + word(e->path) : "");
    case TBSMB1S_EVENT_DISCONNECTED:
        return line + "disconnect" + who + " duration_ms=" + std::to_string(e->duration_ms) +
               " bytes_sent=" + std::to_string(e->bytes_sent);
    default:
        return line + "event" + who + " kind=" + std::to_string(e->kind);
    }
}

extern "C" void on_event(void *, const tbsmb1s_event *e)
{
    std::string line = event_line(e) + "\n";
    std::lock_guard<std::mutex> g(g_log.lock);
    if (g_log.lines.size() >= k_queue_max) {
        g_log.dropped++;
        return;
    }
    g_log.lines.push_back(std::move(line));
    g_log.more.notify_one();
}

void write_lines()
{
    std::unique_lock<std::mutex> g(g_log.lock);
    for (;;) {
        g_log.more.wait(g, [] { return !g_log.lines.empty() || g_log.dropped || g_log.closing; });
        if (g_log.lines.empty() && !g_log.dropped)
            return;  // closing, and everything is written
        std::deque<std::string> batch;
        batch.swap(g_log.lines);
        uint64_t dropped = std::exchange(g_log.dropped, 0);
        g.unlock();
        for (const std::string &l : batch)
            std::fputs(l.c_str(), stderr);
        if (dropped)
            std::fprintf(stderr, "%s events-dropped count=%llu\n", timestamp().c_str(), (unsigned long long)dropped);
        g.lock();
    }
}

// Starts the event log, unless -q: from here on the library reports to it.
void log_start(const config &c)
{
    if (c.quiet)
        return;
    g_log.writer = std::thread(write_lines);
    tbsmb1s_set_event_callback(on_event, nullptr);
}

// Stops reporting and writes what is still queued.
void log_stop()
{
    if (!g_log.writer.joinable())
        return;
    tbsmb1s_set_event_callback(nullptr, nullptr);
    {
        std::lock_guard<std::mutex> g(g_log.lock);
        g_log.closing = true;
        g_log.more.notify_one();
    }
    g_log.writer.join();
}

int simulate(const config &c)
{
    std::ifstream in(c.simulate, std::ios::binary);
    if (!in)
        bad("--simulate: cannot read " + c.simulate);
    std::stringstream script;
    script << in.rdbuf();
    log_start(c);
    const char *out = tbsmb1s_simulate(script.str().c_str(), c.peer.empty() ? nullptr : c.peer.c_str());
    log_stop();
    if (!out)
        bad(std::string("--simulate: ") + tbsmb1s_last_error());
    std::fputs(out, stdout);
    return 0;
}

void print_stats()
{
    std::printf("%s\n", tbsmb1s_stats_json());
    std::fflush(stdout);
}

#ifdef _WIN32
HANDLE g_stop_event;

// Console control events arrive on a thread of their own: Ctrl-C,
// Ctrl-Break and closing the console all stop the server.
BOOL WINAPI on_console_event(DWORD)
{
    SetEvent(g_stop_event);
    return TRUE;
}

void prepare_wait()
{
    g_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_stop_event || !SetConsoleCtrlHandler(on_console_event, TRUE))
        bad("cannot watch for Ctrl-C");
}

// Waits up to ms milliseconds; true when the server is to stop.
bool wait_for_stop(long long ms)
{
    return WaitForSingleObject(g_stop_event, DWORD(ms)) == WAIT_OBJECT_0;
}
#else
sigset_t g_handled;

// Blocks the signals handled here before any thread starts, so that they
// all arrive at the wait below.
void prepare_wait()
{
    sigemptyset(&g_handled);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        sigaddset(&g_handled, sig);
    pthread_sigmask(SIG_BLOCK, &g_handled, nullptr);
}

// Waits up to ms milliseconds for a signal; true when the server is to stop.
bool wait_for_stop(long long ms)
{
    timespec wait = {time_t(ms / 1000), long(ms % 1000) * 1000000};
    int sig = sigtimedwait(&g_handled, nullptr, &wait);
    if (sig == SIGUSR1)
        print_stats();
    if (sig == SIGHUP)
        std::fprintf(stderr, "tbsmb1s-serve: SIGHUP ignored (nothing to reload; restart to change the "
                             "configuration)\n");
    return sig == SIGINT || sig == SIGTERM;
}
#endif

int serve(const config &c, const account *run_as)
{
    prepare_wait();
    log_start(c);
    // The library's message already says "start: ..."; name the address it could not serve instead.
    check(tbsmb1s_start(c.address.c_str(), c.port, c.server_name.empty() ? nullptr : c.server_name.c_str()),
          "--listen " + c.address + " port " + std::to_string(c.port));
    if (run_as)
        drop_to(*run_as);
    uint32_t port = tbsmb1s_port();
    std::string host = c.address == "0.0.0.0" ? "127.0.0.1" : c.address == "::" ? "::1" : c.address;
    std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    std::printf("tbsmb1s %s serving read-only on %s port %u:", tbsmb1s_version(), shown.c_str(), port);
    for (const share_arg &s : c.shares)
        std::printf(" %s=%s", s.name.c_str(), s.path.c_str());
    std::string unc = "//" + host + "/" + c.shares.front().name;
    std::printf("\nconnect: smbclient %s -p %u -m NT1 --option='client min protocol=NT1' %s\n",
                shell_word(unc).c_str(), port,
                c.users.empty() ? "-N" : ("-U " + shell_word(c.users.front())).c_str());
    std::fflush(stdout);

    using clock = std::chrono::steady_clock;
    const auto every = std::chrono::seconds(c.stats_seconds ? c.stats_seconds : 3600);
    auto next = clock::now() + every;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - clock::now()).count();
        if (left <= 0) {
            if (c.stats_seconds)
                print_stats();
            next += every;
            continue;
        }
        if (wait_for_stop(left))
            break;
    }
    tbsmb1s_stop();
    log_stop();
    print_stats();
    return 0;
}

#ifdef _WIN32
// The arguments as UTF-8, whatever the system's code page.
std::vector<std::string> g_args;
std::vector<char *> g_argv;

void utf8_args(int *argc, char ***argv)
{
    int n = 0;
    wchar_t **w = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!w)
        return;
    for (int i = 0; i < n; i++)
        g_args.push_back(utf8_of(w[i]));
    LocalFree(w);
    for (std::string &a : g_args)
        g_argv.push_back(a.data());
    g_argv.push_back(nullptr);
    *argc = n;
    *argv = g_argv.data();
}
#endif

}  // namespace

int main(int argc, char **argv)
{
#ifdef _WIN32
    utf8_args(&argc, &argv);
    // Paths, share names and messages are UTF-8; so is what the console shows.
    SetConsoleOutputCP(CP_UTF8);
#endif
    config c = parse_args(argc, argv);
    account run_as;
    if (!c.run_as.empty())
        run_as = look_up(c.run_as);
    configure(&c);
    if (!c.simulate.empty()) {
        if (!c.run_as.empty())
            drop_to(run_as);
        return simulate(c);
    }
    return serve(c, c.run_as.empty() ? nullptr : &run_as);
}
