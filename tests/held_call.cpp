// Holding a call of the tool's, and answering it: the moments a test acts at, whatever the
// load of the machine.
#include "run_fwsplice.hpp"

#include <fcntl.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <string>

void running_fwsplice::wait_for_held_call()
{
    seccomp_notif request{};
    if (listener_ < 0 || ioctl(listener_, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) {
        throw std::runtime_error("the tool's call was not held");
    }
    held_id_ = request.id;
    held_path_ = request.data.args[1];
}

void running_fwsplice::wait_for_held_call_on(const std::string& path, int nth)
{
    wait_for_held_call();
    for (int seen = held_path() == path ? 1 : 0; seen < nth; seen += held_path() == path ? 1 : 0) {
        go_on();
        wait_for_held_call();
    }
}

std::string running_fwsplice::held_path() const
{
    std::ifstream memory("/proc/" + std::to_string(child_) + "/mem", std::ios::binary);
    memory.seekg(static_cast<std::streamoff>(held_path_));
    std::string path;
    std::getline(memory, path, '\0');
    return path;
}

void running_fwsplice::go_on() const
{
    seccomp_notif_resp response{};
    response.id = held_id_;
    response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
    if (ioctl(listener_, SECCOMP_IOCTL_NOTIF_SEND, &response) != 0) {
        throw std::runtime_error("the tool's held call could not go on");
    }
}

void running_fwsplice::fail_held_call(int error) const
{
    seccomp_notif_resp response{};
    response.id = held_id_;
    response.error = -error;
    response.val = -1;
    if (ioctl(listener_, SECCOMP_IOCTL_NOTIF_SEND, &response) != 0) {
        throw std::runtime_error("the tool's held call could not be answered");
    }
}

// Lets every call that is still held go on until the tool ends, except that with
// failing_close, each close() of a descriptor open for writing fails with EIO.
void running_fwsplice::answer_held_calls()
{
    pollfd listener{listener_, POLLIN, 0};
    while (poll(&listener, 1, -1) == 1 && (listener.revents & POLLIN) != 0) {
        seccomp_notif request{};
        if (ioctl(listener_, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) {
            continue;
        }
        std::ifstream info("/proc/" + std::to_string(child_) + "/fdinfo/" +
                           std::to_string(request.data.args[0]));
        std::string field;
        unsigned flags = 0;
        while (info >> field && field != "flags:") {
        }
        info >> std::oct >> flags;
        seccomp_notif_resp response{};
        response.id = request.id;
        if (!failing_close_ || (flags & O_ACCMODE) == O_RDONLY) {
            response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        } else {
            response.error = -EIO;
            response.val = -1;
        }
        ioctl(listener_, SECCOMP_IOCTL_NOTIF_SEND, &response);
    }
}
