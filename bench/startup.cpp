// Start-up speed and memory against a plain Qt program showing the same
// form.
//
//   sixfold-startup-bench ROUNDS BASELINE PROGRAM...
//
// Runs on an X display (under Xvfb: scripts/bench.sh starts one). Each round
// starts the baseline and each program in turn and measures:
//   - the wall time from exec to the program's window being mapped, seen as
//     the root window's MapNotify of a window whose _NET_WM_PID is the
//     program's, with the page cache warm from earlier rounds;
//   - its resident memory 1.5 s after start, and the shared libraries it
//     has loaded then;
//   - where the machine allows dropping the page cache (root, a writable
//     /proc/sys/vm/drop_caches), the same start cold.
// The programs start in turn, forward and backward in alternate rounds,
// half a second apart. Medians are reported, each program's against the
// baseline's.

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Resident megabytes of a process.
double residentMb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024;
    return 0;
}

// The shared libraries a process has mapped.
size_t librariesOf(pid_t pid)
{
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::set<std::string> libraries;
    for (std::string line; std::getline(maps, line);) {
        const size_t path = line.find('/');
        if (path != std::string::npos && line.find(".so", path) != std::string::npos)
            libraries.insert(line.substr(path));
    }
    return libraries.size();
}

// Drops the page cache; false where the machine does not allow it.
bool dropCaches()
{
    sync();
    std::ofstream drop("/proc/sys/vm/drop_caches");
    return drop && (drop << "3" << std::flush);
}

struct Display
{
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    xcb_window_t root = 0;
    xcb_atom_t pidAtom = 0;

    Display()
    {
        if (xcb_connection_has_error(connection)) {
            std::fprintf(stderr, "no X display to start the programs on (run under xvfb-run)\n");
            std::exit(1);
        }
        root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);
        xcb_intern_atom_reply_t *atom =
            xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, 11, "_NET_WM_PID"), nullptr);
        pidAtom = atom ? atom->atom : 0;
        std::free(atom);
        xcb_flush(connection);
    }
    ~Display() { xcb_disconnect(connection); }

    uint32_t pidOf(xcb_window_t window)
    {
        xcb_get_property_reply_t *reply = xcb_get_property_reply(
            connection, xcb_get_property(connection, 0, window, pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr);
        uint32_t pid = 0;
        if (reply && xcb_get_property_value_length(reply) == 4)
            std::memcpy(&pid, xcb_get_property_value(reply), 4);
        std::free(reply);
        return pid;
    }
};

struct Start
{
    double mappedMs = 0, residentMb = 0;
    size_t libraries = 0;
};

// Starts the program and waits for its window; then, 1.5 s after the
// start, reads its memory and ends it.
Start start(Display &display, const std::string &program)
{
    while (xcb_generic_event_t *stale = xcb_poll_for_event(display.connection))
        std::free(stale);
    const Clock::time_point begun = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        unsetenv("QT_QPA_PLATFORM");
        execl(program.c_str(), program.c_str(), nullptr);
        _exit(127);
    }
    Start s;
    while (xcb_generic_event_t *event = xcb_wait_for_event(display.connection)) {
        const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY &&
                            display.pidOf(reinterpret_cast<xcb_map_notify_event_t *>(event)->window) == uint32_t(pid);
        std::free(event);
        if (mapped) {
            s.mappedMs = std::chrono::duration<double, std::milli>(Clock::now() - begun).count();
            break;
        }
    }
    std::this_thread::sleep_until(begun + std::chrono::milliseconds(1500));
    s.residentMb = residentMb(pid);
    s.libraries = librariesOf(pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    // The X server cleans up after it before the next start.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return s;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s ROUNDS BASELINE PROGRAM...\n", argv[0]);
        return 2;
    }
    const int rounds = std::max(1, std::atoi(argv[1]));
    const std::vector<std::string> programs(argv + 2, argv + argc);
    Display display;
    struct Results
    {
        std::vector<double> warm, cold, resident;
        size_t libraries = 0;
    };
    std::vector<Results> results(programs.size());
    bool coldAllowed = true;
    for (const std::string &program : programs)
        start(display, program);   // warms the page cache
    for (int round = 0; round < rounds; ++round) {
        // In turn forward and backward, so that no program always follows
        // the same one.
        for (size_t i = 0; i < programs.size(); ++i) {
            const size_t p = round % 2 ? programs.size() - 1 - i : i;
            const Start s = start(display, programs[p]);
            results[p].warm.push_back(s.mappedMs);
            results[p].resident.push_back(s.residentMb);
            results[p].libraries = s.libraries;
            if (coldAllowed && (coldAllowed = dropCaches()))
                results[p].cold.push_back(start(display, programs[p]).mappedMs);
        }
        std::fprintf(stderr, "round %d of %d done\n", round + 1, rounds);
    }

    std::printf("\n%d rounds, medians; exec to window mapped and resident memory 1.5 s after start\n\n", rounds);
    std::printf("| program | mapped, warm | x baseline | resident | x baseline | libraries | mapped, cold |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    const Results &base = results[0];
    for (size_t p = 0; p < programs.size(); ++p) {
        const Results &r = results[p];
        char cold[32] = "not allowed here";
        if (coldAllowed)
            std::snprintf(cold, sizeof cold, "%.0f ms", median(r.cold));
        std::printf("| %s | %.0f ms | %.2f | %.1f MB | %.2f | %zu | %s |\n", programs[p].c_str(), median(r.warm),
                    median(r.warm) / median(base.warm), median(r.resident), median(r.resident) / median(base.resident),
                    r.libraries, cold);
    }
    return 0;
}
