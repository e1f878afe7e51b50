// A delivery: the calls that put a payload at the printer, run in their order
// on a thread of their own, while the dialog's thread waits for it in one
// place (waitForDelivery) and keeps answering. Both kinds, the network send
// and the spooler job, are made this way: a record that starts with a
// Delivery, and a function that runs its calls.
#ifndef FLASH_DELIVERY_H
#define FLASH_DELIVERY_H

#include <windows.h>

class CProgressBar;

// A delivery that shows no sign of life this long is given up: a print
// server that answers nothing, a printer that takes nothing, a name server
// that never answers.
const DWORD STALL_MS = 60000;

// What the dialog wants of a delivery.
enum DeliveryFate {
    DELIVERY_WANTED,
    DELIVERY_GIVEN_UP,   // silent past STALL_MS; the operator has been told
    DELIVERY_CUT_SHORT   // the session ends: stop where it is
};

// How a delivery ended, as the dialog's thread learns it.
struct Outcome {
    int delivered;       // 1: the printer, or its spooler, has every byte
    int stage;           // how far its calls got (the kind's own stages)
    const char *call;    // else the call that failed (null: none did)
    DWORD error;         // and its code
    DeliveryFate fate;   // given up or cut short: no call failed, it was stopped
};

struct Delivery {
    // Set by the kind before the delivery starts.
    DWORD size;                          // bytes to deliver, for the bar
    void (*run)(Delivery *);             // its calls, on the delivery's thread
    // On the dialog's thread, under the lock, when it stops waiting before
    // the outcome (given up, cut short): ends at once what can be ended.
    // The spooler's calls never run there: null for a spooler job.
    void (*stop)(Delivery *);
    void (*destroy)(Delivery *);         // frees the kind's record

    // Read by the dialog's thread as they are.
    volatile LONG signsOfLife;           // calls that returned, bytes taken
    volatile LONG taken;                 // bytes the printer, or its spooler, has surely taken

    // Under the lock.
    CRITICAL_SECTION lock;
    int stage;
    DeliveryFate fate;
    BOOL decided;                        // the outcome is final
    Outcome outcome;

    HANDLE decidedEvent;                 // set once decided
    volatile LONG holders;               // the last one to let go frees the record
};

// Starts `delivery`'s calls on a thread of their own. FALSE, with the
// system's error, when it could not: the record is freed then. A null record
// (one that could not be allocated) is ERROR_NOT_ENOUGH_MEMORY.
BOOL startDelivery(Delivery *delivery);

// On the dialog's thread: waits until the delivery is decided, and lets go
// of it. Meanwhile the dialog answers what other threads and programs send
// it and repaints, the bar shows what the delivery has taken, commands are
// refused and keyboard and mouse input stays queued; once the wait is over,
// that input is thrown away (an Enter typed meanwhile must not answer the box
// that follows), but for Alt+F4, which is a close request. While it waits,
// the session may not end; if it ends anyway, the delivery is cut short.
// A delivery that shows no sign of life for STALL_MS is given up.
Outcome waitForDelivery(Delivery *delivery, CProgressBar *progress);

// TRUE while the dialog's thread waits for a delivery: the dialog then takes
// no command, whoever sends it.
BOOL waitingForDelivery(void);

// On the dialog's thread, when the session ends under a delivery.
void cutDeliveryShort(Delivery *delivery);

// On the delivery's thread.
// A call returned: a sign of life.
void noteSignOfLife(Delivery *delivery);
// The printer, or its spooler, has surely taken `bytes` of the payload: a
// sign of life too.
void noteTaken(Delivery *delivery, DWORD bytes);
// The calls got as far as `stage`. FALSE once the dialog no longer wants
// the delivery: the calls then stop and undo what they started.
BOOL reachStage(Delivery *delivery, int stage);
// The outcome, unless the dialog has decided it already (given up).
void decideDelivered(Delivery *delivery);
void decideFailed(Delivery *delivery, const char *call, DWORD error);
// What the dialog wants now.
DeliveryFate deliveryFate(Delivery *delivery);
// Drops this thread's hold on the record.
void letGo(Delivery *delivery);

#endif
