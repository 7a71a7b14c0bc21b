// The simulated Mac: the basic Mac types that Core Foundation and IOKit declarations rest
// on, with the widths they have on a 64-bit Mac (UInt32 is an unsigned int there, not a
// long). Core Foundation and IOKit headers bring them in, as on macOS.
#pragma once

typedef unsigned char UInt8;
typedef signed char SInt8;
typedef unsigned short UInt16;
typedef signed short SInt16;
typedef unsigned int UInt32;
typedef signed int SInt32;
typedef unsigned long long UInt64;
typedef signed long long SInt64;

typedef float Float32;
typedef double Float64;

typedef unsigned char Byte;
typedef signed char SignedByte;
typedef UInt8 *BytePtr;
typedef unsigned char Boolean;

typedef SInt16 OSErr;
typedef SInt32 OSStatus;
typedef UInt32 OptionBits;
typedef UInt32 FourCharCode;
typedef FourCharCode OSType;
typedef FourCharCode ResType;

typedef unsigned long ByteCount;
typedef unsigned long ByteOffset;
typedef unsigned long ItemCount;
typedef long Size;
typedef char *Ptr;
typedef Ptr *Handle;
typedef void *LogicalAddress;

typedef UInt16 UniChar;
typedef unsigned long UniCharCount;
typedef UInt32 UTF32Char;
typedef UInt16 UTF16Char;
typedef UInt8 UTF8Char;

typedef SInt32 Fixed;
typedef SInt32 Fract;

enum { noErr = 0 };
enum { kNilOptions = 0 };
