#ifndef QORVANE_PORT_LINUX_WINDOWS_API_POSIX_H_
#define QORVANE_PORT_LINUX_WINDOWS_API_POSIX_H_

// The part of the Windows API that the program uses, for builds where the real
// one is not at hand. Types keep the Windows widths (ULONG is 32 bits, ULONG_PTR
// pointer-sized) so that ATA_PASS_THROUGH_EX has the layout of the 64-bit Windows
// header: 48 bytes on x86-64.

#include <errno.h>
#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef uint8_t UCHAR;
typedef uint8_t BYTE;
typedef uint16_t USHORT;
typedef uint16_t WORD;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef void* HANDLE;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef HANDLE HINSTANCE;

typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u

// Last-error numbers here are errno values: a device error is EIO.
#define ERROR_IO_DEVICE EIO

#define MEM_COMMIT 0x00001000u
#define PAGE_READWRITE 0x04u

#define IOCTL_ATA_PASS_THROUGH 0x0004D02Cu

#define ATA_FLAGS_DRDY_REQUIRED (1 << 0)
#define ATA_FLAGS_DATA_IN (1 << 1)
#define ATA_FLAGS_DATA_OUT (1 << 2)
#define ATA_FLAGS_48BIT_COMMAND (1 << 3)
#define ATA_FLAGS_USE_DMA (1 << 4)

typedef struct _ATA_PASS_THROUGH_EX {
  USHORT Length;
  USHORT AtaFlags;
  UCHAR PathId;
  UCHAR TargetId;
  UCHAR Lun;
  UCHAR ReservedAsUchar;
  ULONG DataTransferLength;
  ULONG TimeOutValue;
  ULONG ReservedAsUlong;
  ULONG_PTR DataBufferOffset;
  UCHAR PreviousTaskFile[8];
  UCHAR CurrentTaskFile[8];
} ATA_PASS_THROUGH_EX, *PATA_PASS_THROUGH_EX;

HANDLE WINAPI CreateFileA(LPCSTR file_name, DWORD desired_access,
                          DWORD share_mode,
                          LPSECURITY_ATTRIBUTES security_attributes,
                          DWORD creation_disposition,
                          DWORD flags_and_attributes, HANDLE template_file);
BOOL WINAPI DeviceIoControl(HANDLE device, DWORD io_control_code,
                            LPVOID in_buffer, DWORD in_buffer_size,
                            LPVOID out_buffer, DWORD out_buffer_size,
                            LPDWORD bytes_returned, LPOVERLAPPED overlapped);
LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocation_type,
                           DWORD protect);
BOOL WINAPI CloseHandle(HANDLE object);
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);

// The runtime's parsed command line, as the Windows runtime start-up leaves it.
extern int __argc;
extern char** __argv;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance,
                   LPSTR command_line, int show_command);

#endif  // QORVANE_PORT_LINUX_WINDOWS_API_POSIX_H_
