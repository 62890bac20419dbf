#pragma once
// Windows only: a Win32 error as the std::errc value a POSIX system gives for
// the same trouble, so that a run's messages read the same everywhere.
#include <windows.h>

#include <system_error>

namespace tp::io::win32 {

inline std::error_code errorOf(DWORD e) {
    using std::errc;
    switch (e) {
        case ERROR_SUCCESS:
            return {};
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_PATHNAME:
            return std::make_error_code(errc::no_such_file_or_directory);
        case ERROR_ACCESS_DENIED:
        case ERROR_CANNOT_MAKE:
            return std::make_error_code(errc::permission_denied);
        case ERROR_WRITE_PROTECT:
            return std::make_error_code(errc::read_only_file_system);
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case 1295:  // ERROR_DISK_QUOTA_EXCEEDED, which older headers lack
            return std::make_error_code(errc::no_space_on_device);
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return std::make_error_code(errc::file_exists);
        case ERROR_DIRECTORY:
            return std::make_error_code(errc::not_a_directory);
        case ERROR_DIR_NOT_EMPTY:
            return std::make_error_code(errc::directory_not_empty);
        case ERROR_FILENAME_EXCED_RANGE:
            return std::make_error_code(errc::filename_too_long);
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_PARAMETER:
            return std::make_error_code(errc::invalid_argument);
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return std::make_error_code(errc::not_enough_memory);
        case ERROR_TOO_MANY_OPEN_FILES:
            return std::make_error_code(errc::too_many_files_open);
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_FUNCTION:
        case ERROR_CALL_NOT_IMPLEMENTED:
            return std::make_error_code(errc::not_supported);
        case ERROR_NOT_SAME_DEVICE:
            return std::make_error_code(errc::cross_device_link);
        case ERROR_OPERATION_ABORTED:
            return std::make_error_code(errc::interrupted);
        // Another program holds the file open: not a want of rights, and the next
        // file may well be free.
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_BUSY:
        case ERROR_USER_MAPPED_FILE:
            return std::make_error_code(errc::device_or_resource_busy);
        case ERROR_CANT_RESOLVE_FILENAME:
            return std::make_error_code(errc::too_many_symbolic_link_levels);
        default:
            return std::make_error_code(errc::io_error);
    }
}

inline std::error_code lastErrorCode() {
    return errorOf(::GetLastError());
}

}  // namespace tp::io::win32
