// What other users' processes cost a START: the START's one look at /proc
// (host::ProcessSnapshot::read) and a whole START with no stick to find
// (SystemStickProvider asked for indexes 0 to 3, as START asks), each the
// median of --runs, first as the machine is and then with --processes
// sleeping processes of another user (--uid) added. Needs root to start
// processes as another user.
//
//   procbench [--processes N] [--uid U] [--runs R]
//
// Output is key=value lines for scripts/bench.sh.
#include "processes.h"
#include "stickopen.h"
#include "testenv.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

int argValue(const QStringList &args, const QString &name, int fallback)
{
    const int i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1).toInt() : fallback;
}

template <typename Work>
double medianMs(int runs, Work work)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// A sleeping process of user uid, ended with us.
pid_t sleeper(uid_t uid)
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    if (::setgid(uid) != 0 || ::setuid(uid) != 0)
        ::_exit(1);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::execl("/bin/sleep", "sleep", "3600", static_cast<char *>(nullptr));
    ::_exit(1);
}

void measure(const char *label, int runs)
{
    pulvane::stick::SystemStickProvider provider;
    const double snapshot = medianMs(runs, [] { (void)pulvane::host::ProcessSnapshot::read(); });
    const double start = medianMs(runs, [&provider] {
        for (int index = 0; index < 4; ++index)
            (void)provider.openStick(index, 57600);
    });
    const pulvane::host::ProcessSnapshot seen = pulvane::host::ProcessSnapshot::read();
    std::printf("%s_processes_looked_into=%lld\n%s_snapshot_ms=%.2f\n%s_start_ms=%.2f\n", label,
                static_cast<long long>(seen.processes.size()), label, snapshot, label, start);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int count = argValue(args, QStringLiteral("--processes"), 10000);
    const uid_t uid = uid_t(argValue(args, QStringLiteral("--uid"), 4250));
    const int runs = argValue(args, QStringLiteral("--runs"), 21);
    if (::geteuid() != 0) {
        std::fprintf(stderr, "startbench: needs root to start another user's processes\n");
        return 2;
    }
    // Only the START's own sticks folder: none.
    pulvane::test::PrivateRuntime runtime;
    measure("before", runs);
    std::vector<pid_t> sleepers;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = sleeper(uid);
        if (pid < 0)
            break;
        sleepers.push_back(pid);
    }
    std::printf("other_users_processes=%zu\n", sleepers.size());
    measure("after", runs);
    for (const pid_t pid : sleepers)
        ::kill(pid, SIGKILL);
    for (const pid_t pid : sleepers)
        ::waitpid(pid, nullptr, 0);
    return 0;
}
