// Whether the process's heaps are whole: on Windows every heap passes
// HeapValidate, which, with free checking on (Wine: WINEDEBUG=warn+heap;
// Windows: the heap flags gflags sets), also finds bytes written into a
// block after it was freed. On POSIX, where the sanitizer builds catch that,
// always true.
#pragma once

bool heapsIntact();
