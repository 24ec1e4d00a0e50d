# The DLLs that Updater.exe may import, as the linker names them. The loader resolves imports
# before the program's first line runs, and takes only Windows' known DLLs from the system folder
# whatever else lies beside the program; any other DLL it looks for in the program's folder first,
# which for an updater started from Downloads is a folder that a web page can write to. So only
# known DLLs of every supported Windows may stand here (advapi32, gdi32, kernel32, msvcrt, ole32,
# oleaut32, shell32, shlwapi, user32 and a few more); any other DLL is loaded at run time from
# the system folder (common/SystemLibrary.h). tests/imports checks the built programs against it.
set(UPDATER_ALLOWED_IMPORTS ADVAPI32.dll KERNEL32.dll msvcrt.dll ole32.dll OLEAUT32.dll USER32.dll)
