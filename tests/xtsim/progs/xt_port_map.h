/* Where the execution programs' result port is, and its registers (offsets): 0x00 a
 * 32-bit result; 0x04 the exit word (ends the run); 0x08 a counter that counts up on every
 * read; 0x10..0x1F scratch that reads back what was written, at any width. Plain numbers,
 * so that start.S can use them too. */
#ifndef XT_PORT_MAP_H
#define XT_PORT_MAP_H

#define XT_PORT_BASE 0x3FF7F000
#define XT_RESULT 0x00
#define XT_EXIT 0x04
#define XT_COUNTER 0x08
#define XT_SCRATCH 0x10

#endif
