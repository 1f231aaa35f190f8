// The system calls that the guard makes through its call table, one line
// each. Add a call here and use it as win32Calls.Name(...).
// No include guard: included once per expansion of WIN32_CALL.

// kernel32: lifecycle, threads, waits
WIN32_CALL(CreateEventW)
WIN32_CALL(SetEvent)
WIN32_CALL(CreateMutexW)
WIN32_CALL(CreateThread)
WIN32_CALL(WaitForSingleObject)
WIN32_CALL(CloseHandle)
WIN32_CALL(GetModuleHandleW)
WIN32_CALL(GetProcAddress)

// kernel32: fatal exit and the error helper
WIN32_CALL(DuplicateHandle)
WIN32_CALL(InitializeProcThreadAttributeList)
WIN32_CALL(UpdateProcThreadAttribute)
WIN32_CALL(DeleteProcThreadAttributeList)
WIN32_CALL(CreateProcessW)
WIN32_CALL(TerminateProcess)

// kernel32: files and paths
WIN32_CALL(GetModuleFileNameW)
WIN32_CALL(GetFullPathNameW)
WIN32_CALL(GetFinalPathNameByHandleW)
WIN32_CALL(GetFileSizeEx)
WIN32_CALL(SetFilePointerEx)
WIN32_CALL(ReadFile)

// advapi32: CryptoAPI digests
WIN32_CALL(CryptAcquireContextW)
WIN32_CALL(CryptCreateHash)
WIN32_CALL(CryptHashData)
WIN32_CALL(CryptGetHashParam)
WIN32_CALL(CryptDestroyHash)
WIN32_CALL(CryptReleaseContext)

// kernel32, advapi32: machine identity (firmware table, registry, volume, text)
WIN32_CALL(GetSystemFirmwareTable)
WIN32_CALL(MultiByteToWideChar)
WIN32_CALL(WideCharToMultiByte)
WIN32_CALL(GetStringTypeW)
WIN32_CALL(RegOpenKeyExW)
WIN32_CALL(RegQueryValueExW)
WIN32_CALL(RegCloseKey)
WIN32_CALL(GetWindowsDirectoryW)
WIN32_CALL(GetVolumePathNameW)
WIN32_CALL(GetVolumeInformationW)
