#include "LineProbe.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

TLineProbe ProbeLine(int Fd) {
  TLineProbe P;
  struct termios2 t {};
  if (::ioctl(Fd, TCGETS2, &t) != 0) return P;
  P.Ok = true;
  P.InSpeed = t.c_ispeed;
  P.OutSpeed = t.c_ospeed;
  P.Raw8N1 = (t.c_cflag & CSIZE) == CS8 && !(t.c_cflag & (PARENB | CSTOPB | CRTSCTS)) &&
             !(t.c_lflag & (ICANON | ECHO | ISIG)) && !(t.c_iflag & (IXON | IXOFF | ICRNL)) &&
             !(t.c_oflag & OPOST);
  return P;
}
