// What another local user could offer the module on a host: a token socket
// of theirs (its file, or the process serving it), a server at the path any
// user can bind (/tmp/kvtoken.sock) when no socket is named, lock files
// planted beside a socket in a shared folder. A client (slot_probe, the
// module from the environment alone) finds no token in the first two, and
// the third is never used. The other user is played by this root test with
// an unused user ID (setresuid in a child); without root the tests skip.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim_process.h"

extern char** environ;

namespace {

constexpr uid_t kStranger = 4242;

// The child runs fn as the other user, then exits.
pid_t AsStranger(const std::function<void()>& fn) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
        if (setgroups(0, nullptr) != 0 || setresgid(kStranger, kStranger, kStranger) != 0 ||
            setresuid(kStranger, kStranger, kStranger) != 0)
            _exit(126);
        fn();
        _exit(0);
    }
    return pid;
}

int WaitFor(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The environment with these variables set (a null value: removed).
std::vector<std::string> Environment(const std::map<std::string, const char*>& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (!changes.count(entry.substr(0, entry.find('=')))) env.push_back(entry);
    }
    for (const auto& [name, value] : changes) {
        if (value) env.push_back(name + "=" + value);
    }
    return env;
}

// Runs the probe (by its descriptor: it may sit in a folder a mount hides)
// with that environment and standard output to out; its pid.
pid_t StartProbe(int probe, const std::vector<std::string>& env, int out) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(out, STDOUT_FILENO);
        std::vector<char*> envp;
        for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(KV_PROBE_BINARY), nullptr};
        fexecve(probe, argv, envp.data());
        _exit(127);
    }
    return pid;
}

// What the probe printed, "" when it failed.
std::string Probe(const std::map<std::string, const char*>& changes) {
    const int probe = open(KV_PROBE_BINARY, O_RDONLY | O_CLOEXEC);
    int out[2];
    if (probe < 0 || pipe2(out, O_CLOEXEC) != 0) return "";
    const pid_t pid = StartProbe(probe, Environment(changes), out[1]);
    close(out[1]);
    close(probe);
    std::string text;
    char buffer[64];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    return WaitFor(pid) == 0 ? text : "";
}

int StatOf(const std::string& socket, const std::string& key) {
    testing_kv::SimClient client(socket);
    if (!client.Connected()) return -1;
    const std::string stats = client.Control("stats");
    const size_t at = stats.find(key + "=");
    return at == std::string::npos ? -1 : std::stoi(stats.substr(at + key.size() + 1));
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A virtual token served at socket by the given user, stopped at the end.
class ServedToken {
public:
    ServedToken(const std::string& state, const std::string& socket, uid_t user) : socket_(socket) {
        const std::string personalise = std::string(KV_SIM_BINARY) + " personalise --state " + state + " >/dev/null";
        if (std::system(personalise.c_str()) != 0) return;
        if (user != geteuid() && chown(state.c_str(), user, user) != 0) return;
        auto serve = [&] {
            execl(KV_SIM_BINARY, KV_SIM_BINARY, "serve", "--state", state.c_str(), "--socket", socket.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        };
        if (user == geteuid()) {
            std::fflush(stdout);
            pid_ = fork();
            if (pid_ == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                serve();
            }
        } else {
            pid_ = AsStranger(serve);
        }
        for (int i = 0; i < 500 && !Answers(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~ServedToken() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    ServedToken(const ServedToken&) = delete;
    ServedToken& operator=(const ServedToken&) = delete;
    bool Answers() const { return testing_kv::SimClient(socket_).Connected(); }

private:
    std::string socket_;
    pid_t pid_ = -1;
};

class SocketTrust : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "playing another user takes root";
        char tmpl[] = "/tmp/kvtrust-test-XXXXXX";
        dir_ = mkdtemp(tmpl);
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);  // the other user reaches its own folders inside
        home_ = dir_ + "/home";
        log_ = dir_ + "/p11.log";
        ASSERT_EQ(mkdir(home_.c_str(), 0700), 0);
    }
    void TearDown() override {
        if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
    }
    // The probe as this user runs a client: a home of its own, the
    // module's log on, KVP11_SOCKET as given (null: unset).
    std::string ProbeWith(const char* socket) {
        const std::string cache = home_ + "/.cache";
        return Probe({{"KVP11_SOCKET", socket},
                      {"HOME", home_.c_str()},
                      {"XDG_CACHE_HOME", cache.c_str()},
                      {"XDG_RUNTIME_DIR", nullptr},
                      {"KVP11_LOG", log_.c_str()}});
    }
    // A folder of the given mode and owner.
    std::string Folder(const std::string& name, mode_t mode, uid_t owner) {
        const std::string path = dir_ + "/" + name;
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
        EXPECT_EQ(chown(path.c_str(), owner, owner), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }

    std::string dir_, home_, log_;
};

// A socket of another user, or a socket file of this user's (root's) that
// another user's process serves: no token, not a command sent, and a log
// line names the socket. This user's own token is found (the probe works).
TEST_F(SocketTrust, AnotherUsersSocketIsRefused) {
    struct Case {
        const char* what;
        uid_t server;
        bool fileToRoot;  // the socket file handed to root after binding
        unsigned slots;
    } cases[] = {
        {"this user's token", 0, false, 1},
        {"another user's socket", kStranger, false, 0},
        {"root's socket file, another user's server", kStranger, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::system(("rm -rf " + dir_ + "/token " + log_).c_str());
        const std::string folder = Folder("token", 0700, c.server);
        const std::string socket = folder + "/token.sock";
        ServedToken token(folder + "/token.state", socket, c.server);
        ASSERT_TRUE(token.Answers());
        if (c.fileToRoot) {
            ASSERT_EQ(lchown(socket.c_str(), 0, 0), 0);
        }
        EXPECT_EQ(ProbeWith(socket.c_str()), std::to_string(c.slots) + "\n");
        const int received = StatOf(socket, "messages_in");
        if (c.slots == 0) {
            EXPECT_EQ(received, 0);
            EXPECT_NE(ReadText(log_).find(socket), std::string::npos) << ReadText(log_);
        } else {
            EXPECT_GT(received, 0);
        }
    }
}

// Nothing named: no socket is reached, not even a server at the path every
// user can bind. A mount namespace of its own gives the test a private /tmp
// (and no PC/SC service), so a token served at the real path is never
// touched; the server there counts the connections it is offered.
TEST_F(SocketTrust, NoSocketIsReachedWhenNoneIsNamed) {
    const int probe = open(KV_PROBE_BINARY, O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    int report[2];
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    std::fflush(stdout);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        struct stat st{};
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0 ||
            (stat("/run/pcscd", &st) == 0 && mount("tmpfs", "/run/pcscd", "tmpfs", 0, nullptr) != 0))
            _exit(77);
        const char* path = "/tmp/kvtoken.sock";
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path);
        const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener, 8) != 0 || mkdir("/tmp/home", 0700) != 0)
            _exit(2);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) _exit(2);
        const pid_t client = StartProbe(probe,
                                        Environment({{"KVP11_SOCKET", nullptr},
                                                     {"HOME", "/tmp/home"},
                                                     {"XDG_CACHE_HOME", "/tmp/home/.cache"},
                                                     {"XDG_RUNTIME_DIR", nullptr}}),
                                        out[1]);
        close(out[1]);
        int connections = 0, status = 0;
        for (int rounds = 0; waitpid(client, &status, WNOHANG) == 0; ++rounds) {
            if (rounds == 1500) kill(client, SIGKILL);  // 30 s: the probe waits for something
            pollfd waiting{listener, POLLIN, 0};
            if (poll(&waiting, 1, 20) == 1) {
                const int connection = accept(listener, nullptr, nullptr);
                if (connection >= 0) ++connections;
                close(connection);  // no answer: a client waiting for one gets none
            }
        }
        char printed[32] = {};
        const ssize_t n = read(out[0], printed, sizeof printed - 1);
        const std::string line = std::to_string(connections) + " " + (n > 0 ? std::string(printed, n) : "-\n");
        if (write(report[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(2);
        _exit(0);
    }
    close(report[1]);
    close(probe);
    char text[64] = {};
    const ssize_t n = read(report[0], text, sizeof text - 1);
    close(report[0]);
    const int code = WaitFor(child);
    if (code == 77) GTEST_SKIP() << "no mount namespace of its own";
    ASSERT_EQ(code, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(text, static_cast<size_t>(n)), "0 0\n") << "connections at the path, then slots with a token";
}

// Lock files another user made first beside a socket in a shared folder (as
// /tmp is): a file of theirs writable by all or by them alone, a link to a
// file of this user's. This user's token there is found, what was planted
// is left as it was, and the lock file the processes met in is in the
// user's own folder.
TEST_F(SocketTrust, LockFilesPlantedBesideTheSocketAreNeverUsed) {
    const std::string shared = Folder("shared", 01777, 0);
    const std::string socket = shared + "/token.sock";
    const std::string victim = dir_ + "/victim";
    close(open(victim.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ServedToken token(dir_ + "/token.state", socket, 0);
    ASSERT_TRUE(token.Answers());
    struct Case {
        const char* what;
        std::function<void(const std::string& name)> plant;  // run as the other user
    } cases[] = {
        {"file writable by all", [](const std::string& name) { close(open(name.c_str(), O_CREAT | O_WRONLY, 0666)); }},
        {"file of theirs alone", [](const std::string& name) { close(open(name.c_str(), O_CREAT | O_WRONLY, 0600)); }},
        {"link to a file of this user's",
         [&](const std::string& name) {
             if (symlink(victim.c_str(), name.c_str()) != 0) _exit(1);
         }},
    };
    // Where a lock file beside the socket would be.
    const std::string names[] = {socket + ".p11.lock"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::string& name : names) {
            unlink(name.c_str());
            ASSERT_EQ(WaitFor(AsStranger([&] {
                          umask(0);
                          c.plant(name);
                      })),
                      0);
        }
        EXPECT_EQ(ProbeWith(socket.c_str()), "1\n");
        struct stat st{};
        for (const std::string& name : names) {
            ASSERT_EQ(lstat(name.c_str(), &st), 0) << name;
            EXPECT_EQ(st.st_uid, kStranger) << name;
            if (S_ISREG(st.st_mode)) {
                EXPECT_EQ(st.st_size, 0) << name;
            }
        }
        ASSERT_EQ(stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 0);
        // The lock file used: the only one in the user's own lock folder.
        const std::string folder = home_ + "/.cache/kvp11-locks";
        ASSERT_EQ(lstat(folder.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0);
        std::vector<std::string> locks;
        if (DIR* d = opendir(folder.c_str())) {
            for (dirent* e; (e = readdir(d));) {
                if (e->d_name[0] != '.') locks.push_back(folder + "/" + e->d_name);
            }
            closedir(d);
        }
        ASSERT_EQ(locks.size(), 1u);
        ASSERT_EQ(lstat(locks[0].c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 0777) == 0600);
        EXPECT_GT(st.st_size, 0);  // the record of the processes that met there
    }
}

}  // namespace
