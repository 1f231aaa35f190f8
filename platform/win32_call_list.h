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

// kernel32: client files checked against the manifest and held open
WIN32_CALL(CreateFileW)
WIN32_CALL(GetFileInformationByHandle)
WIN32_CALL(Sleep)

// advapi32: CryptoAPI digests
WIN32_CALL(CryptAcquireContextW)
WIN32_CALL(CryptCreateHash)
WIN32_CALL(CryptHashData)
WIN32_CALL(CryptGetHashParam)
WIN32_CALL(CryptDestroyHash)
WIN32_CALL(CryptReleaseContext)

// ncrypt: the device key in a key storage provider (these and bcrypt's are
// loaded from the system directory on first use, never imported)
WIN32_CALL(NCryptOpenStorageProvider)
WIN32_CALL(NCryptOpenKey)
WIN32_CALL(NCryptCreatePersistedKey)
WIN32_CALL(NCryptSetProperty)
WIN32_CALL(NCryptFinalizeKey)
WIN32_CALL(NCryptGetProperty)
WIN32_CALL(NCryptExportKey)
WIN32_CALL(NCryptSignHash)
WIN32_CALL(NCryptFreeObject)

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

// kernel32, ntdll: detection checks (debugger, modules, programs,
// handle table, firmware judgement helpers, hardening)
WIN32_CALL(IsDebuggerPresent)
WIN32_CALL(CheckRemoteDebuggerPresent)
WIN32_CALL(NtQueryInformationProcess)
WIN32_CALL(NtQuerySystemInformation)
WIN32_CALL(NtQueryObject)
WIN32_CALL(RtlNtStatusToDosError)
WIN32_CALL(CreateToolhelp32Snapshot)
WIN32_CALL(Module32FirstW)
WIN32_CALL(Module32NextW)
WIN32_CALL(OpenProcess)
WIN32_CALL(GetProcessId)
WIN32_CALL(GetProcessTimes)
WIN32_CALL(QueryFullProcessImageNameW)
WIN32_CALL(LoadLibraryExW)
WIN32_CALL(FindResourceW)
WIN32_CALL(SizeofResource)
WIN32_CALL(LoadResource)
WIN32_CALL(FreeLibrary)
WIN32_CALL(GetDriveTypeW)

// bcrypt, kernel32: hard-cheat exchange and security monitor (report
// identifiers, randomised intervals, the acknowledgement clock)
WIN32_CALL(BCryptGenRandom)
WIN32_CALL(GetTickCount64)
WIN32_CALL(GetTickCount)
WIN32_CALL(GetCurrentProcessId)

// kernel32: reading a 64-bit program's file from a 32-bit client (WOW64)
WIN32_CALL(IsWow64Process)
WIN32_CALL(GetSystemDirectoryW)
WIN32_CALL(GetSystemWow64DirectoryW)
