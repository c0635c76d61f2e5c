// Win32 serial port: a COM device opened exclusively, 115200 8N1, one-byte
// synchronous reads and writes.
#include "link/serial_port.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <windows.h>

#include "host/output.h"

namespace {

HANDLE serial_handle = INVALID_HANDLE_VALUE;
char port_name[256];

// The system's text for an error code, without its closing period and line end.
const char* system_reason(DWORD error)
{
    static char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text,
                             nullptr);
    if (n == 0) {
        snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(error));
        return text;
    }
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' ||
                     text[n - 1] == '.'))
        text[--n] = '\0';
    return text;
}

void set_read_timeout(int timeout_ms)
{
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(timeout_ms);
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(serial_handle, &timeouts);
}

} // namespace

void serial_reserve_standard_streams()
{
    // Port handles are not descriptors here: a closed standard stream cannot
    // become the port.
}

bool serial_is_device_name(const char* argument)
{
    // A path, or COMn as users type it; a number stays a port number.
    if (strchr(argument, '\\') != nullptr || strchr(argument, '/') != nullptr)
        return true;
    if ((argument[0] != 'C' && argument[0] != 'c') || (argument[1] != 'O' && argument[1] != 'o') ||
        (argument[2] != 'M' && argument[2] != 'm') || argument[3] == '\0')
        return false;
    for (const char* c = argument + 3; *c; ++c)
        if (*c < '0' || *c > '9')
            return false;
    return true;
}

int serial_open(int port)
{
    char device[32];
    snprintf(device, sizeof device, "COM%d", port);
    return serial_open_device(device);
}

int serial_open_device(const char* device)
{
    snprintf(port_name, sizeof port_name, "%s", device);
    // Network ports are served by the POSIX builds only: said plainly
    // rather than tried as a file name.
    if (strncmp(device, "rfc2217://", 10) == 0) {
        fprintf(stderr, "Could not open serial port %s (network ports are not supported in the Windows build).\n",
                port_name);
        return 0;
    }
    // The \\.\ prefix is what makes COM10 and above open.
    char path[300];
    if (_strnicmp(device, "COM", 3) == 0)
        snprintf(path, sizeof path, "\\\\.\\%s", device);
    else
        snprintf(path, sizeof path, "%s", device);
    serial_handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    if (serial_handle == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "Could not open serial port %s (%s).\n", port_name,
                system_reason(GetLastError()));
        return 0;
    }
    return 1;
}

int serial_configure(int baud)
{
    PurgeComm(serial_handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    // Built afresh: nothing of the port's previous settings leaks in.
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    dcb.XonLim = 0;
    dcb.XoffLim = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
    if (!SetCommState(serial_handle, &dcb)) {
        fprintf(stderr, "Could not configure serial port %s (%s).\n", port_name,
                system_reason(GetLastError()));
        return 0;
    }
    return 1;
}

void serial_put(char byte)
{
    DWORD written = 0;
    if (!WriteFile(serial_handle, &byte, 1, &written, nullptr))
        serial_lost(system_reason(GetLastError()));
    if (written != 1)
        serial_lost("write failed");
}

void serial_put_all(const char* bytes, unsigned count)
{
    DWORD written = 0;
    if (!WriteFile(serial_handle, bytes, count, &written, nullptr))
        serial_lost(system_reason(GetLastError()));
    if (written != count)
        serial_lost("write failed");
}

int serial_unsent()
{
    DWORD errors = 0;
    COMSTAT status = {};
    if (!ClearCommError(serial_handle, &errors, &status))
        return -1;
    return static_cast<int>(status.cbOutQue);
}

signed char serial_get(int timeout_ms, int* error)
{
    if (error)
        *error = 0;
    set_read_timeout(timeout_ms);
    unsigned char byte = 0;
    DWORD read = 0;
    const BOOL ok = ReadFile(serial_handle, &byte, 1, &read, nullptr);
    if (ok && read == 1)
        return static_cast<signed char>(byte);
    // An expired time-out is not a failure: the caller gets 0 and the flag.
    if (error || (ok && timeout_ms > 0)) {
        if (error)
            *error = 1;
        return 0;
    }
    // Without a time-out a read returns only with a byte or a failure.
    serial_lost(ok ? "hang-up" : system_reason(GetLastError()));
}

void serial_close()
{
    if (serial_handle != INVALID_HANDLE_VALUE)
        CloseHandle(serial_handle);
    serial_handle = INVALID_HANDLE_VALUE;
}

int serial_latency_ms()
{
    return 0;
}

void serial_sleep(int milliseconds)
{
    Sleep(static_cast<DWORD>(milliseconds));
}

void serial_lost(const char* reason)
{
    console_end_line();
    fprintf(stderr, "Lost serial port %s (%s).\n", port_name, reason);
    exit(1);
}
