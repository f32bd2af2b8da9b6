// The channels of the virtual port: one per open handle, each with its own batch of sentences
// and its own emulated serial settings.
#pragma once
#include "platform/platform.h"
#include "support/fix_record.h"

constexpr DWORD kDeviceContext = 5200;
constexpr DWORD kFirstHandle = 5201;
constexpr int kChannels = 10;
constexpr DWORD kChannelBufferSize = 1024;
constexpr DWORD kCommandAccepted = 0x12345678;
constexpr DWORD CHANNEL_OPEN = 0x1;
constexpr DWORD kRawReadSize = 344;

struct Channel {
  char* buffer;          // kChannelBufferSize bytes while open
  DWORD readOffset;      // bytes of the batch already handed out
  LONG remaining;        // bytes of the batch not yet handed out; 0: a new batch is due
  DWORD lastBatchTick;   // when the current batch was generated
  LONG interval;         // pacing interval, ms; 0 after open
  HANDLE event;          // set by the reader after every processed fix
  DWORD flags;
  LONG batchSequence;     // g_FixSequence when the current batch was made
  ULONGLONG lastFixTime;  // the time of the last fix sent (FILETIME units): it never runs back
  FixRecord lastFix;      // that fix
};

struct SerialState {
  COMMTIMEOUTS timeouts;
  DWORD errors;          // device status: error word and COMSTAT
  COMSTAT stat;
  DWORD waitMask;
  DWORD eventResult;
  DWORD timeoutOverride;
  DCB dcb;
  DWORD appliedPeriod;
  HANDLE waitEvent;
};
static_assert(offsetof(SerialState, stat) - offsetof(SerialState, errors) == 4);

extern Channel g_Channels[kChannels];
extern SerialState g_Serial[kChannels];

// The channel index of a valid open handle, or -1.
int ChannelIndex(DWORD handle);
// "Channel: %d, %s\r\n" with LOG_TAB.
void ChannelLine(int index, const char* text);
// Sets the event of every open channel (the reader after each processed fix).
void SignalChannels();
// Counts the fixes SignalChannels announced: a channel compares it with the count its last batch
// saw, so that a fix announced between two reads is never missed.
extern LONG g_FixSequence;
// Serialises changes of the channel table with the reader's signalling.
void LockChannels();
void UnlockChannels();

DWORD ChannelRead(int index, BYTE* dest, DWORD count);
BOOL SerialIoControl(int index, DWORD code, BYTE* in, DWORD inLength, BYTE* out, DWORD outLength, DWORD* actual);
const char* IoControlName(DWORD code);
// Drops every pending wait of the emulation (driver unload).
void CloseSerialStates();
