// The host program tbsmb1s-serve, run as a real process.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../net/client.h"
#include "../sess/files.h"
#include "ntlm_client.h"
#include "smb1.h"
#include "support.h"
#include "tbsmb1s.h"

namespace {

using namespace tb1s_test;

// A child process with its standard streams on pipes.
struct proc {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
    std::string out_text, err_text;

    // run_as_uid: when not -1, the child takes this user id before it runs
    // the program.
    proc(const std::vector<std::string> &args, const std::vector<std::string> &env = {}, uid_t run_as_uid = uid_t(-1))
    {
        int pin[2], pout[2], perr[2];
        if (pipe(pin) || pipe(pout) || pipe(perr))
            return;
        pid = fork();
        if (pid == 0) {
            dup2(pin[0], 0);
            dup2(pout[1], 1);
            dup2(perr[1], 2);
            for (int fd : {pin[0], pin[1], pout[0], pout[1], perr[0], perr[1]})
                close(fd);
            unsetenv("TBSMB1S_PASSWORD");
            if (run_as_uid != uid_t(-1) && setuid(run_as_uid) != 0)
                _exit(126);
            for (const std::string &e : env)
                putenv(const_cast<char *>(e.c_str()));
            std::vector<char *> argv;
            std::string exe = TB1S_SERVE_PATH;
            argv.push_back(exe.data());
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        close(pin[0]);
        close(pout[1]);
        close(perr[1]);
        in = pin[1];
        out = pout[0];
        err = perr[0];
    }
    ~proc()
    {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (int fd : {in, out, err})
            if (fd >= 0)
                close(fd);
    }

    // Reads standard output until it holds `lines` line feeds or ms pass.
    bool read_lines(int lines, int ms)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::count(out_text.begin(), out_text.end(), '\n') < lines) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{out, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0)
                return false;
            char b[4096];
            ssize_t n = read(out, b, sizeof b);
            if (n <= 0)
                return false;
            out_text.append(b, size_t(n));
        }
        return true;
    }

    // Closes standard input, collects both outputs and the exit status.
    int finish()
    {
        if (in >= 0) {
            close(in);
            in = -1;
        }
        for (auto [fd, text] : {std::pair{out, &out_text}, std::pair{err, &err_text}}) {
            char b[4096];
            ssize_t n;
            while ((n = read(fd, b, sizeof b)) > 0)
                text->append(b, size_t(n));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

TEST(Serve, BadFlagsGiveOneLineAndStatus2)
{
    temp_dir d;
    struct bad_case {
        std::vector<std::string> args;
        const char *says;  // part of the one line on standard error
    };
    const bad_case cases[] = {
        {{"--bogus"}, "unknown flag --bogus"},
        {{"--listen", "127.0.0.1:70000"}, "--listen: bad port"},
        {{"--listen"}, "--listen needs a value"},
        {{"--option", "max_clients=0"}, "max_clients: 1..1024"},
        {{"--option", "nokey"}, "expected KEY=VALUE"},
        {{"--share", "x=" + d.path + "/missing"}, "does not exist"},
        {{"--share", "a/b=" + d.path}, "add_share: invalid share name"},
        {{"--allow", "10.0.0.0/33"}, "allow_cidr: 10.0.0.0/33 is not a CIDR"},
        {{"--stats", "0"}, "--stats: seconds from 1 to 86400"},
        {{"--listen", "localhost:4450", d.path}, "start: localhost is not an IP address"},
        {{"--simulate", d.path + "/no-such-script"}, "--simulate: cannot read"},
        {{"--run-as", "no-such-user-here", d.path}, "--run-as no-such-user-here: no such user"},
    };
    for (const bad_case &c : cases) {
        proc p(c.args);
        int rc = p.finish();
        EXPECT_EQ(rc, 2) << c.args[0];
        EXPECT_NE(p.err_text.find(c.says), std::string::npos) << c.args[0] << ": " << p.err_text;
        EXPECT_EQ(std::count(p.err_text.begin(), p.err_text.end(), '\n'), 1) << p.err_text;
    }
}

// The port from the first line: "... serving read-only on 127.0.0.1 port N: ..."
uint16_t announced_port(const std::string &out)
{
    size_t at = out.find(" port ");
    return at == std::string::npos ? 0 : uint16_t(std::stoi(out.substr(at + 6)));
}

// Sends an SMB1 ECHO to 127.0.0.1:port and checks the answer.
void expect_echo(uint16_t port)
{
    int fd = connect_to("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    smb1_request echo = echo_request(1, {'p', 'i', 'n', 'g'});
    bytes frame = smb1_frame(echo);
    ASSERT_EQ(send(fd, frame.data(), frame.size(), 0), ssize_t(frame.size()));
    uint8_t head[4];
    ASSERT_EQ(recv(fd, head, 4, MSG_WAITALL), 4);
    size_t len = size_t(head[1]) << 16 | size_t(head[2]) << 8 | head[3];
    bytes msg(len);
    ASSERT_EQ(recv(fd, msg.data(), len, MSG_WAITALL), ssize_t(len));
    smb1_reply r;
    ASSERT_TRUE(parse_reply(msg, &r));
    EXPECT_EQ(r.cmd, 0x2B);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.data, echo.data);
    close(fd);
}

TEST(Serve, AnswersEchoAndStopsOnSigintWithStatistics)
{
    temp_dir d;
    d.write("a.txt", "hello");
    proc p({"--listen", "127.0.0.1:0", d.path});
    ASSERT_TRUE(p.read_lines(2, 10000)) << p.out_text;
    EXPECT_NE(p.out_text.find("smbclient //127.0.0.1/"), std::string::npos) << p.out_text;
    uint16_t port = announced_port(p.out_text);
    ASSERT_NE(port, 0);
    expect_echo(port);

    kill(p.pid, SIGINT);
    EXPECT_EQ(p.finish(), 0);
    std::string last = p.out_text.substr(p.out_text.rfind('{'));
    EXPECT_EQ(last.rfind("{\"running\":false,\"port\":0,\"clients\":0,", 0), 0u) << last;
}

TEST(Serve, PrintsStatisticsPeriodically)
{
    temp_dir d;
    proc p({"--listen", "127.0.0.1:0", "--stats", "1", d.path});
    ASSERT_TRUE(p.read_lines(3, 10000)) << p.out_text;
    std::string third = p.out_text.substr(p.out_text.find('\n', p.out_text.find('\n') + 1) + 1);
    EXPECT_EQ(third.rfind("{\"running\":true,", 0), 0u) << third;
    kill(p.pid, SIGTERM);
    EXPECT_EQ(p.finish(), 0);
}

TEST(Serve, Version)
{
    proc p({"--version"});
    EXPECT_EQ(p.finish(), 0);
    EXPECT_EQ(p.out_text, std::string("tbsmb1s-serve ") + TBSMB1S_VERSION + "\n");
}

// SIGUSR1 prints the statistics and SIGHUP a line on standard error; the
// server goes on serving after both, and SIGTERM still stops it.
TEST(Serve, Sigusr1PrintsStatisticsAndSighupIsIgnored)
{
    temp_dir d;
    proc p({"--listen", "127.0.0.1:0", "-q", d.path});  // -q: the SIGHUP line alone on standard error
    ASSERT_TRUE(p.read_lines(2, 10000)) << p.out_text;
    uint16_t port = announced_port(p.out_text);
    ASSERT_NE(port, 0);

    kill(p.pid, SIGUSR1);
    ASSERT_TRUE(p.read_lines(3, 10000)) << p.out_text;
    std::string third = p.out_text.substr(p.out_text.find('\n', p.out_text.find('\n') + 1) + 1);
    EXPECT_EQ(third.rfind("{\"running\":true,\"port\":" + std::to_string(port) + ",", 0), 0u) << third;
    kill(p.pid, SIGHUP);
    kill(p.pid, SIGUSR1);
    ASSERT_TRUE(p.read_lines(4, 10000)) << p.out_text;
    expect_echo(port);

    kill(p.pid, SIGTERM);
    EXPECT_EQ(p.finish(), 0);
    EXPECT_EQ(std::count(p.out_text.begin(), p.out_text.end(), '\n'), 5) << p.out_text;
    EXPECT_EQ(p.out_text.substr(p.out_text.rfind('{')).rfind("{\"running\":false,", 0), 0u) << p.out_text;
    EXPECT_EQ(p.err_text, "tbsmb1s-serve: SIGHUP ignored (nothing to reload; restart to change the configuration)\n");
}

// The printed connect command, run by a shell, gives smbclient the share
// and user as single words, spaces and quotes included.
TEST(Serve, ConnectCommandIsQuotedForTheShell)
{
    temp_dir d;
    proc p({"--listen", "127.0.0.1:0", "--share", "my share=" + d.path, "--user", "o'neil"},
           {"TBSMB1S_PASSWORD=x"});
    ASSERT_TRUE(p.read_lines(2, 10000)) << p.out_text;
    std::string line = p.out_text.substr(p.out_text.find('\n') + 1);
    line.pop_back();
    const std::string prefix = "connect: smbclient ";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    // The same words, one per line, from a shell that runs printf instead.
    temp_dir out;
    std::string cmd = "printf '%s\\n' " + line.substr(prefix.size()) + " >" + out.path + "/words";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::ifstream in(out.path + "/words");
    std::stringstream words;
    words << in.rdbuf();
    uint16_t port = announced_port(p.out_text);
    EXPECT_EQ(words.str(), "//127.0.0.1/my share\n-p\n" + std::to_string(port) +
                               "\n-m\nNT1\n--option=client min protocol=NT1\n-U\no'neil\n");
    kill(p.pid, SIGTERM);
    EXPECT_EQ(p.finish(), 0);
}

// The free port below 1024 on 127.0.0.1 closest to 1023, or 0.
uint16_t free_privileged_port()
{
    for (uint16_t port = 1023; port >= 600; port--) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        close(fd);
        if (ok)
            return port;
    }
    return 0;
}

// "Uid:" or "Gid:" (the real, effective, saved and file ids) and "Groups:"
// of every thread of a process, one text per thread.
std::vector<std::string> thread_ids(pid_t pid)
{
    std::vector<std::string> out;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return out;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream status(dir + "/" + e->d_name + "/status");
        std::string line, ids;
        while (std::getline(status, line))
            if (line.rfind("Uid:", 0) == 0 || line.rfind("Gid:", 0) == 0 || line.rfind("Groups:", 0) == 0)
                ids += line + "\n";
        if (!ids.empty())  // else the thread ended after the listing
            out.push_back(ids);
    }
    closedir(d);
    return out;
}

// As root, --run-as binds a privileged port, then every thread runs as the
// user with the user's groups; it goes on serving and stops as usual.
TEST(Serve, RunAsDropsRootAfterBindingAPrivilegedPort)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to bind a port below 1024";
    passwd *nobody = getpwnam("nobody");
    if (!nobody)
        GTEST_SKIP() << "no user nobody";
    uint16_t port = free_privileged_port();
    if (port == 0)
        GTEST_SKIP() << "no free port below 1024 on 127.0.0.1";
    std::string uid = std::to_string(nobody->pw_uid), gid = std::to_string(nobody->pw_gid);
    // The user's groups as the kernel lists them: sorted, each followed by a space.
    std::vector<gid_t> groups(64);
    int ngroups = int(groups.size());
    ASSERT_GE(getgrouplist("nobody", nobody->pw_gid, groups.data(), &ngroups), 0);
    groups.resize(size_t(ngroups));
    std::sort(groups.begin(), groups.end());
    std::string group_line = "Groups:\t";
    for (gid_t g : groups)
        group_line += std::to_string(g) + " ";
    group_line += "\n";

    temp_dir d;
    proc p({"--listen", "127.0.0.1:" + std::to_string(port), "--run-as", "nobody", d.path});
    ASSERT_TRUE(p.read_lines(2, 10000)) << p.out_text << p.err_text;
    ASSERT_EQ(announced_port(p.out_text), port);
    expect_echo(port);  // a connection thread, started after the drop
    std::vector<std::string> threads = thread_ids(p.pid);
    EXPECT_GE(threads.size(), 2u) << "the main thread and the acceptor at least";
    for (const std::string &ids : threads) {
        EXPECT_NE(ids.find("Uid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\n"), std::string::npos) << ids;
        EXPECT_NE(ids.find("Gid:\t" + gid + "\t" + gid + "\t" + gid + "\t" + gid + "\n"), std::string::npos) << ids;
        EXPECT_NE(ids.find(group_line), std::string::npos) << "want " << group_line << ids;
    }
    kill(p.pid, SIGTERM);
    EXPECT_EQ(p.finish(), 0) << p.err_text;
    EXPECT_EQ(p.out_text.substr(p.out_text.rfind('{')).rfind("{\"running\":false,", 0), 0u) << p.out_text;
}

// Not root, --run-as another user cannot change anything: the program stops
// with one line instead of serving with the wrong identity. (Run as nobody
// when the test runs as root.)
TEST(Serve, RunAsThatCannotDropStops)
{
    uid_t as = uid_t(-1);
    if (geteuid() == 0) {
        passwd *nobody = getpwnam("nobody");
        if (!nobody)
            GTEST_SKIP() << "no user nobody to run the program as";
        as = nobody->pw_uid;
    }
    temp_dir d;
    chmod(d.path.c_str(), 0755);
    proc p({"--listen", "127.0.0.1:0", "--run-as", "root", d.path}, {}, as);
    EXPECT_EQ(p.finish(), 2);
    EXPECT_NE(p.err_text.find("--run-as root: cannot"), std::string::npos) << p.err_text;
    EXPECT_EQ(p.out_text.find("serving"), std::string::npos) << p.out_text;
}

// The password typed at a terminal prompt is not echoed, and the terminal
// echoes again afterwards.
TEST(Serve, PasswordPromptDoesNotEcho)
{
    temp_dir d;
    std::string script = d.write("empty.hex", "# nothing\n");
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string slave = ptsname(master);
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int fd = open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
        if (fd < 0)
            _exit(126);
        dup2(fd, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        unsetenv("TBSMB1S_PASSWORD");
        execl(TB1S_SERVE_PATH, TB1S_SERVE_PATH, "--user", "alice", "--simulate", script.c_str(), nullptr);
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    // Everything the terminal shows, until the program ends (EIO on Linux).
    std::string shown;
    auto read_until = [&](const std::string &want, int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (shown.find(want) == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd pf{master, POLLIN, 0};
            if (poll(&pf, 1, 100) <= 0)
                continue;
            char b[512];
            ssize_t n = read(master, b, sizeof b);
            if (n <= 0)
                break;
            shown.append(b, size_t(n));
        }
        return shown.find(want) != std::string::npos;
    };
    EXPECT_TRUE(read_until("password for alice: ", 10000)) << shown;  // shown once the echo is off
    ASSERT_EQ(write(master, "Typed-Secret\n", 13), 13);
    EXPECT_TRUE(read_until("RESULT ok (0 frames)", 10000)) << shown;
    termios after{};
    bool got_mode = tcgetattr(master, &after) == 0;
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(shown.find("Typed-Secret"), std::string::npos) << shown;
    if (got_mode) {
        EXPECT_TRUE(after.c_lflag & ECHO) << "echo is still off";
    }
}

TEST(Serve, UserPasswordFromEnvironmentOrStandardInput)
{
    temp_dir d;
    std::string script = d.write("empty.hex", "# nothing\n");
    {
        proc p({"--user", "alice", "--simulate", script}, {"TBSMB1S_PASSWORD=secret"});
        EXPECT_EQ(p.finish(), 0) << p.err_text;
        EXPECT_EQ(p.out_text, "RESULT ok (0 frames)\n");
    }
    {
        proc p({"--user", "alice", "--simulate", script});
        ASSERT_EQ(write(p.in, "secret\n", 7), 7);
        EXPECT_EQ(p.finish(), 0) << p.err_text;
        EXPECT_EQ(p.out_text, "RESULT ok (0 frames)\n");
    }
    {
        proc p({"--user", "alice", "--simulate", script});  // standard input closed at once
        EXPECT_EQ(p.finish(), 2);
        EXPECT_NE(p.err_text.find("no password"), std::string::npos) << p.err_text;
    }
}

// Sends one request and reads its reply; a reply with cmd 0 when none came.
smb1_reply exchange(int fd, const smb1_request &r)
{
    smb1_reply out;
    bytes frame = smb1_frame(r);
    if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != ssize_t(frame.size()))
        return out;
    uint8_t head[4];
    if (recv(fd, head, 4, MSG_WAITALL) != 4)
        return out;
    size_t len = size_t(head[1]) << 16 | size_t(head[2]) << 8 | head[3];
    bytes msg(len);
    if (recv(fd, msg.data(), len, MSG_WAITALL) != ssize_t(len) || !parse_reply(msg, &out))
        return smb1_reply{};
    return out;
}

// A client of one connection that logs on with the 13-word form (NTLMv2
// against the server's challenge), then makes requests as that session.
struct client {
    int fd = -1;
    uint16_t uid = 0;
    explicit client(uint16_t port) : fd(connect_to("127.0.0.1", port)) {}
    ~client()
    {
        if (fd >= 0)
            close(fd);
    }
    // The status of the logon (0 on success).
    uint32_t logon(const std::string &user, const std::string &password)
    {
        smb1_reply nego = exchange(fd, negotiate_request());
        bytes chal, info;
        if (!read_challenge(ntlm_in(reply_blob(nego)), &chal, &info))
            return 0xFFFFFFFF;
        bytes owf = ntowfv2(user, "", password);
        const bytes client_chal(8, 0x77);
        bytes nt = ntlmv2_response(owf, chal, client_chal, filetime_of(std::time(nullptr)), info);
        smb1_reply p = exchange(fd, setup_nonext_request(lmv2_response(owf, chal, client_chal), nt, user));
        uid = p.uid;
        return p.status;
    }
    smb1_reply ask(smb1_request r, uint16_t tid = 0)
    {
        r.uid = uid;
        r.tid = tid;
        return exchange(fd, r);
    }
};

// The lines of a text, without their line feeds.
std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// The event lines of a logon, a failed logon, a refused tree connect to a
// name that tries to break the line, and a refused write: one line each,
// after a UTC timestamp to the millisecond; the password never shows. With
// -q the same session logs nothing.
TEST(Serve, EventLinesOnStandardError)
{
    temp_dir d;
    d.write("a.txt", "hello");
    const std::string password = "Serve-Secret 9";
    for (bool quiet : {false, true}) {
        std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--share", "docs=" + d.path, "--user", "alice"};
        if (quiet)
            args.push_back("-q");
        proc p(args, {"TBSMB1S_PASSWORD=" + password});
        ASSERT_TRUE(p.read_lines(2, 10000)) << p.out_text << p.err_text;
        uint16_t port = announced_port(p.out_text);
        ASSERT_NE(port, 0);
        {
            client c(port);
            ASSERT_EQ(c.logon("alice", password), 0u);
            EXPECT_EQ(c.ask(tree_req("\\\\127.0.0.1\\bad \"name\nX")).status, NT_STATUS_BAD_NETWORK_NAME);
            smb1_reply tree = c.ask(tree_req("\\\\127.0.0.1\\docs"));
            ASSERT_EQ(tree.status, 0u);
            create_args make;
            make.disposition = 5;  // overwrite or create, as a client's put asks
            EXPECT_EQ(c.ask(create_req(tree.tid, "\\new file.txt", make), tree.tid).status, NT_STATUS_ACCESS_DENIED);
        }
        {
            client c(port);
            EXPECT_EQ(c.logon("alice", "wrong"), NT_STATUS_LOGON_FAILURE);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // both connections end
        kill(p.pid, SIGTERM);
        EXPECT_EQ(p.finish(), 0) << p.err_text;
        if (quiet) {
            EXPECT_EQ(p.err_text, "") << "-q logs nothing";
            continue;
        }

        // Every line: the time, then the event's name and its fields. The
        // time is UTC: within a minute of the test's own clock.
        const std::regex shape(R"((\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.\d{3}Z ([a-z0-9-]+)( .*)?)");
        std::vector<std::string> events;
        for (const std::string &line : lines_of(p.err_text)) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
            tm t{};
            t.tm_year = std::stoi(m[1]) - 1900;
            t.tm_mon = std::stoi(m[2]) - 1;
            t.tm_mday = std::stoi(m[3]);
            t.tm_hour = std::stoi(m[4]);
            t.tm_min = std::stoi(m[5]);
            t.tm_sec = std::stoi(m[6]);
            EXPECT_LT(std::abs(double(timegm(&t) - std::time(nullptr))), 60.0) << line;
            EXPECT_EQ(line.find(password), std::string::npos) << line;
            events.push_back(line.substr(25));
        }
        // Each connection's lines in order, under a number of its own (the
        // two connections' lines may interleave).
        const std::vector<std::string> want_first = {
            "connect",
            "logon user=alice",
            "tree-refused share=\"bad \\\"name\\x0aX\"",
            "tree share=docs",
            "write-refused share=docs command=NT_CREATE_ANDX path=\"\\\\new file.txt\"",
            "disconnect duration_ms=D bytes_sent=B",
        };
        const std::vector<std::string> want_second = {
            "connect",
            "logon-failed user=alice",
            "disconnect duration_ms=D bytes_sent=B",
        };
        const std::regex who(R"(^([a-z0-9-]+) conn=(\d+) peer=127\.0\.0\.1(.*)$)");
        std::map<uint64_t, std::vector<std::string>> by_conn;
        for (const std::string &e : events) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(e, m, who)) << e;
            std::string rest = std::regex_replace(std::string(m[3]), std::regex(R"( duration_ms=\d+ bytes_sent=[1-9]\d*)"),
                                                  " duration_ms=D bytes_sent=B");
            by_conn[std::stoull(m[2])].push_back(std::string(m[1]) + rest);
        }
        ASSERT_EQ(by_conn.size(), 2u) << p.err_text;
        EXPECT_EQ(by_conn.begin()->second, want_first) << p.err_text;
        EXPECT_EQ(by_conn.rbegin()->second, want_second) << p.err_text;
    }
}

TEST(Serve, SimulatesAScriptFromARefusedPeer)
{
    temp_dir d;
    std::string path = d.write("echo.hex", script({smb1_frame(echo_request(1, {}))}));
    {
        proc p({"--simulate", path});
        EXPECT_EQ(p.finish(), 0) << p.err_text;
        EXPECT_NE(p.out_text.find(">> ECHO\n<< ff534d422b"), std::string::npos) << p.out_text;
        EXPECT_NE(p.out_text.find("RESULT ok (1 frames)\n"), std::string::npos);
    }
    {
        proc p({"--simulate", path, "--peer", "192.0.2.10"});
        EXPECT_EQ(p.finish(), 0) << p.err_text;
        EXPECT_EQ(p.out_text, "refused: client address not allowed\n");
    }
}

}  // namespace
