// velko-sim-reaper: ends a sim's process group when the velko that started it dies.
//
//   velko-sim-reaper GROUP            (the pipe from velko is its descriptor 3)
//
// velko starts one beside each sim, in the sim's process group, and keeps the write end of a
// pipe whose read end is this program's descriptor 3. When velko lets go of the sim it kills
// the whole group, this program included, before it closes the pipe. When velko dies in any
// way (SIGKILL included) the pipe closes while this program lives, and it gives the group
// SIGKILL: a parent-death signal reaches only the sim's first process, not the processes it
// started. A byte on the pipe releases this program without killing anything.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  char* end = nullptr;
  long group = std::strtol(argv[1], &end, 10);
  if (*end != '\0' || group <= 1) return 2;
  // The group is asked to stop with SIGTERM first; this program stays until it is released
  // or the group is killed.
  ::signal(SIGTERM, SIG_IGN);
  ::signal(SIGINT, SIG_IGN);
  ::signal(SIGHUP, SIG_IGN);
  char byte = 0;
  ssize_t got;
  do {
    got = ::read(3, &byte, 1);
  } while (got < 0 && errno == EINTR);
  if (got == 1) return 0;  // released: velko has stopped the sim itself
  ::kill(-static_cast<pid_t>(group), SIGKILL);
  return 0;
}
