#include "xvfb_display.h"

#include <array>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace cpl::test {

namespace {

constexpr const char* kPanelClass = "QUVVexaUSB Control Panel";
constexpr auto kServerStartTimeout = std::chrono::seconds(30);
constexpr int kPollSliceMs = 20;

// The panel's window can vanish between two requests; Xlib's default handler
// would end the test process over that.
int ignoreXError(::Display*, XErrorEvent*) {
    return 0;
}

std::string readDisplayNumber(int fd, std::chrono::steady_clock::time_point deadline) {
    std::string text;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kPollSliceMs * 10) <= 0) continue;
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n <= 0) break;  // Xvfb ended without naming a display
        if (c == '\n') return text;
        text += c;
    }
    return {};
}

// JUCE writes WM_NAME as UTF8_STRING, which XFetchName does not return.
std::string titleOf(::Display* display, ::Window window) {
    for (const char* name : {"_NET_WM_NAME", "WM_NAME"}) {
        Atom type = None;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        const Atom property = XInternAtom(display, name, False);
        if (XGetWindowProperty(display, window, property, 0, 1024, False, AnyPropertyType, &type, &format, &items,
                               &after, &data) != Success)
            continue;
        std::string title = data != nullptr && format == 8 ? std::string(reinterpret_cast<char*>(data), items) : "";
        if (data != nullptr) XFree(data);
        if (type != None) return title;
    }
    return {};
}

}  // namespace

std::string XvfbDisplay::findXvfb() {
    const char* path = std::getenv("PATH");
    std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const std::string dir(rest.substr(0, colon));
        const std::string candidate = (dir.empty() ? "." : dir) + "/Xvfb";
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return {};
}

XvfbDisplay::XvfbDisplay(const std::string& xvfb) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error_ = "pipe failed";
        return;
    }
    // Xvfb picks a free display number and writes it to fd 3 once it accepts clients.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = {xvfb, "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1024x768x24"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, xvfb.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        error_ = "could not start " + xvfb;
        return;
    }
    serverPid_ = pid;

    const auto number = readDisplayNumber(fds[0], std::chrono::steady_clock::now() + kServerStartTimeout);
    ::close(fds[0]);
    if (number.empty()) {
        error_ = "Xvfb named no display";
        return;
    }
    name_ = ":" + number;
    XSetErrorHandler(ignoreXError);
    display_ = XOpenDisplay(name_.c_str());
    if (display_ == nullptr) {
        error_ = "cannot open display " + name_;
        return;
    }
    XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
    XSync(display_, False);
}

XvfbDisplay::~XvfbDisplay() {
    if (display_ != nullptr) XCloseDisplay(display_);
    if (serverPid_ > 0) {
        ::kill(serverPid_, SIGTERM);
        int status = 0;
        ::waitpid(serverPid_, &status, 0);
    }
}

std::optional<PanelWindow> XvfbDisplay::panelWindow() {
    std::vector<PanelWindow> windows = panelWindows();
    if (windows.empty()) return std::nullopt;
    return windows.front();
}

std::vector<PanelWindow> XvfbDisplay::panelWindows() {
    std::vector<PanelWindow> found;
    if (display_ == nullptr) return found;
    ::Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) return found;
    for (unsigned int i = 0; i < count; ++i) {
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(display_, children[i], &attributes) || attributes.map_state != IsViewable) continue;
        XClassHint hint{};
        if (!XGetClassHint(display_, children[i], &hint)) continue;
        const bool ours = hint.res_class != nullptr && std::strcmp(hint.res_class, kPanelClass) == 0;
        XFree(hint.res_name);
        XFree(hint.res_class);
        if (ours)
            found.push_back({children[i], attributes.x, attributes.y, attributes.width, attributes.height,
                             titleOf(display_, children[i])});
    }
    if (children != nullptr) XFree(children);
    return found;
}

int XvfbDisplay::countPanelWindows() { return static_cast<int>(panelWindows().size()); }

bool XvfbDisplay::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        while (display_ != nullptr && XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
        }
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (display_ != nullptr) {
            pollfd p{ConnectionNumber(display_), POLLIN, 0};
            ::poll(&p, 1, kPollSliceMs);
        }
    }
}

unsigned long XvfbDisplay::pixel(int x, int y) {
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), x, y, 1, 1, AllPlanes, ZPixmap);
    if (image == nullptr) return ~0ul;
    const unsigned long value = XGetPixel(image, 0, 0) & 0xFFFFFFul;  // 24-bit TrueColor: 0xRRGGBB
    XDestroyImage(image);
    return value;
}

bool XvfbDisplay::saveScreen(int x, int y, int width, int height, const std::string& path) {
    if (display_ == nullptr) return false;
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), x, y, width, height, AllPlanes, ZPixmap);
    if (image == nullptr) return false;
    std::string bytes = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            const unsigned long rgb = XGetPixel(image, column, row);
            bytes.push_back(static_cast<char>((rgb >> 16) & 0xFF));
            bytes.push_back(static_cast<char>((rgb >> 8) & 0xFF));
            bytes.push_back(static_cast<char>(rgb & 0xFF));
        }
    }
    XDestroyImage(image);
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return static_cast<bool>(out);
}

bool XvfbDisplay::click(int x, int y) {
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display_, &event, &error, &major, &minor)) return false;
    // In from the screen's far corner: JUCE takes no click from a pointer
    // that was already inside the window when it appeared, until it has
    // left and entered again.
    const int screen = DefaultScreen(display_);
    XTestFakeMotionEvent(display_, screen, DisplayWidth(display_, screen) - 1, DisplayHeight(display_, screen) - 1,
                         CurrentTime);
    XTestFakeMotionEvent(display_, screen, x, y, CurrentTime);
    XTestFakeButtonEvent(display_, 1, True, CurrentTime);
    XTestFakeButtonEvent(display_, 1, False, CurrentTime);
    XFlush(display_);
    return true;
}

bool XvfbDisplay::movePointer(int x, int y) {
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display_, &event, &error, &major, &minor)) return false;
    XTestFakeMotionEvent(display_, DefaultScreen(display_), x, y, CurrentTime);
    XFlush(display_);
    return true;
}

bool XvfbDisplay::clickHere() {
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display_, &event, &error, &major, &minor)) return false;
    XTestFakeButtonEvent(display_, 1, True, CurrentTime);
    XTestFakeButtonEvent(display_, 1, False, CurrentTime);
    XFlush(display_);
    return true;
}

void XvfbDisplay::nudge(::Window window) {
    const Atom property = XInternAtom(display_, "VEXA_TEST_NUDGE", False);
    const long value = 1;
    XChangeProperty(display_, window, property, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&value), 1);
    XFlush(display_);
}

void XvfbDisplay::requestClose(::Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window, False, NoEventMask, &event);
    XFlush(display_);
}

void XvfbDisplay::pretendWindowManager() {
    // A window manager's atoms exist before any client asks for them; JUCE
    // looks them up only if they exist, once, when it starts.
    for (const char* atom : {"WM_PROTOCOLS", "WM_DELETE_WINDOW", "WM_TAKE_FOCUS", "_NET_WM_PING", "_NET_WM_STATE",
                             "_NET_WM_NAME", "_NET_FRAME_EXTENTS", "_NET_ACTIVE_WINDOW"})
        XInternAtom(display_, atom, False);
    const ::Window root = DefaultRootWindow(display_);
    const ::Window check = XCreateSimpleWindow(display_, root, 0, 0, 1, 1, 0, 0, 0);
    const Atom supporting = XInternAtom(display_, "_NET_SUPPORTING_WM_CHECK", False);
    const long value = static_cast<long>(check);
    for (::Window w : {root, check})
        XChangeProperty(display_, w, supporting, XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&value), 1);
    XSync(display_, False);
}

}  // namespace cpl::test
