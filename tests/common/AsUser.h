#pragma once
// Runs a piece of a test in a child process as an unprivileged user, for what root is
// never refused (opening a device it may not use, writing into a folder it may not
// write). As root the child becomes the user 'nobody' (uid and gid 65534, no other
// groups); as anyone else it stays that user, who is unprivileged already.
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

constexpr uid_t NobodyId = 65534;

inline bool IsRoot() {
  return ::geteuid() == 0;
}

// The child's text and whether the child got through.
struct TChildResult {
  bool Ok = false;  // the child dropped its rights, did its work and exited 0
  std::string Text; // what it reported, or why it failed
};

namespace as_user_detail {

// In the child: gives up root, if it is root. False when that failed.
inline bool DropRoot() {
  return !IsRoot() ||
         (::setgroups(0, nullptr) == 0 && ::setgid(NobodyId) == 0 && ::setuid(NobodyId) == 0);
}

// In the parent: everything the child writes into Fd until it closes it, then its exit.
inline TChildResult Collect(int Fd, pid_t Pid) {
  TChildResult R;
  char Buf[4096];
  for (;;) {
    const ssize_t n = ::read(Fd, Buf, sizeof Buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    R.Text.append(Buf, size_t(n));
  }
  ::close(Fd);
  int Status = 0;
  while (::waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
  }
  R.Ok = WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
  if (!R.Ok) R.Text += "\n[child status " + std::to_string(Status) + "]";
  return R;
}

// Forks; the child runs Child with the pipe's write end and must not return.
template <class F> TChildResult Fork(F&& Child) {
  int P[2];
  if (::pipe(P) != 0) return {false, "pipe failed"};
  const pid_t Pid = ::fork();
  if (Pid < 0) return {false, "fork failed"};
  if (Pid == 0) {
    ::close(P[0]);
    Child(P[1]);
    ::_exit(126);
  }
  ::close(P[1]);
  return Collect(P[0], Pid);
}

} // namespace as_user_detail

// Fn runs in the child after the drop; its result comes back through a pipe. The child
// ends with _exit, so nothing of the parent (gtest's state, open files) runs twice.
inline TChildResult RunAsUser(const std::function<std::string()>& Fn) {
  return as_user_detail::Fork([&](int Out) {
    std::string Text = "cannot become an unprivileged user";
    int Status = 3;
    if (as_user_detail::DropRoot()) {
      try {
        Text = Fn();
        Status = 0;
      } catch (const std::exception& E) {
        Text = std::string("exception: ") + E.what();
        Status = 4;
      }
    }
    for (size_t Done = 0; Done < Text.size();) {
      const ssize_t n = ::write(Out, Text.data() + Done, Text.size() - Done);
      if (n <= 0) break;
      Done += size_t(n);
    }
    ::_exit(Status);
  });
}

// Runs Program with Args and exactly the environment Env as the unprivileged user; the
// child's standard output and error come back as Text, Ok when it exited 0. An alarm ends
// it after TimeoutS seconds.
inline TChildResult RunProgramAsUser(const std::string& Program,
                                     const std::vector<std::string>& Args,
                                     const std::vector<std::string>& Env, int TimeoutS = 120) {
  return as_user_detail::Fork([&](int Out) {
    ::dup2(Out, 1);
    ::dup2(Out, 2);
    if (!as_user_detail::DropRoot()) ::_exit(3);
    std::vector<char*> Argv{const_cast<char*>(Program.c_str())};
    for (const std::string& A : Args)
      Argv.push_back(const_cast<char*>(A.c_str()));
    Argv.push_back(nullptr);
    std::vector<char*> Envp;
    for (const std::string& E : Env)
      Envp.push_back(const_cast<char*>(E.c_str()));
    Envp.push_back(nullptr);
    ::alarm(unsigned(TimeoutS)); // survives exec: a hung child ends
    ::execve(Program.c_str(), Argv.data(), Envp.data());
    ::_exit(127);
  });
}
