/*
 * FileRepository: keeps a mail server's content-filter definition files up to date from a remote
 * updates server.
 *
 * The host describes each content processor by one UpdateConfig block and passes it to
 * StartRepositoryUpdateThread. The library keeps a pointer to the block, never copies or writes it,
 * and reads every word afresh where it is used: the host keeps the block valid from the start call
 * until StopRepositoryUpdateThread has returned.
 *
 * Two update slots exist: one serves the processor named "MailFilter0" (compared without regard to
 * case), the other every other processor. Each started slot runs one background worker thread.
 */
#ifndef FILEREPOSITORY_FILEREPOSITORY_H_
#define FILEREPOSITORY_FILEREPOSITORY_H_

#include <stdint.h>

#if defined(FILEREPOSITORY_BUILDING)
#define FILEREPOSITORY_API __attribute__((visibility("default")))
#else
#define FILEREPOSITORY_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The per-processor configuration block: 45 consecutive words, numbered 0 to 44 in member order.
 * Texts are NUL-terminated narrow strings; a null text takes the substitute noted beside it, and a
 * text marked "required" must be present. Property names name mail-server properties in the
 * section given by processorName (word 5).
 */
typedef struct UpdateConfig {
  const char* displayName;             /*  0 processor display name (%1 of the messages); required */
  const char* serverName;              /*  1 updates server; null: property of word 7, else word 16 */
  const char* remoteDirectory;         /*  2 directory on the server; null: empty */
  const char* userName;                /*  3 login user; null: empty */
  const char* password;                /*  4 login password; null: empty */
  const char* processorName;           /*  5 selects the slot and names the property section */
  const char* integrityCheckProperty;  /*  6 integrity check switch property */
  const char* serverNameProperty;      /*  7 text property holding the server name */
  void* reserved8;                     /*  8 not read */
  const char* updateIntervalProperty;  /*  9 update interval property, seconds; 0 = off */
  const char* passiveFtpProperty;      /* 10 passive FTP property; non-zero = passive */
  const char* lastUpdateTimeProperty;  /* 11 receives the time of the last successful cycle */
  const char* nextUpdateTimeProperty;  /* 12 written: time of the next update, 0 = none */
  const char* updateNowProperty;       /* 13 non-zero asks for a cycle now; reset to 0 */
  const char* triggerFileTimeProperty; /* 14 receives the modification time of the trigger file */
  const char* installedFilesProperty;  /* 15 text property: encoded record of installed files */
  const char* defaultServerName;       /* 16 server used when word 1 is null and word 7 unreadable */
  uint32_t defaultUpdateInterval;      /* 17 interval when word 9 is unreadable; idle wait length */
  uint32_t defaultPassiveFtp;          /* 18 passive setting when word 10 is unreadable */
  uint32_t defaultIntegrityCheck;      /* 19 value taken when word 6 is unreadable */
  uint32_t integrityCheckOffValue;     /* 20 value of word 6 that turns the check off */
  uint32_t errorEventId;               /* 21 event id of error log entries */
  uint32_t operationEventId;           /* 22 event id of operation log entries */
  const char* errorLogText;            /* 23 first text of error log entries */
  const char* operationLogText;        /* 24 first text of operation log entries */
  uint32_t minUpdateInterval;          /* 25 lowest interval, seconds */
  uint32_t maxUpdateInterval;          /* 26 highest interval, seconds */
  uint32_t retryInterval;              /* 27 first retry interval after a failure, seconds */
  uint32_t maxRetryInterval;           /* 28 highest retry interval, seconds */
  uint32_t waitStepMs;                 /* 29 wait step, milliseconds (at least 1000) */
  uint32_t probeTimeoutMs;             /* 30 reachability probe time limit, milliseconds */
  const char* rootDirectory;           /* 31 root of the processor's files */
  const char* definitionsDirectory;    /* 32 definitions subdirectory; required */
  const char* backupDirectory;         /* 33 backup subdirectory; null: "backup" */
  const char* masterDirectory;         /* 34 master subdirectory; null: "master" */
  const char* triggerFileName;         /* 35 the server's trigger file (checksum list); required */
  const char* pendingFileName;         /* 36 pending-update file in the definitions directory */
  const char* extensions;              /* 37 comma-separated extensions the integrity check reads */
  uint32_t downloadRetries;            /* 38 further attempts after a failed download */
  void* reserved39;                    /* 39 not read */
  uint32_t (*prepare)(struct UpdateConfig* config);      /* 40 0 ends the cycle; null: not called */
  uint32_t (*updatesAvailable)(void* context);           /* 41 null: not called */
  uint32_t (*nothingToAbsorb)(void* context);            /* 42 required */
  void* updatesAvailableContext;                         /* 43 argument of word 41 */
  void* nothingToAbsorbContext;                          /* 44 argument of word 42 */
} UpdateConfig;

#if defined(__cplusplus) && UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(UpdateConfig) == 45 * 4, "UpdateConfig is 45 words");
#endif

/*
 * Starts the worker thread of the slot that serves config->processorName. Returns 1 when the
 * thread was started by this call or had already been started (the block passed now is then not
 * looked at), 0 when the host handle, the stop event or the thread could not be made.
 */
FILEREPOSITORY_API uint32_t StartRepositoryUpdateThread(UpdateConfig* config);

/* Stops both slots' worker threads and waits for them without a time limit. */
FILEREPOSITORY_API void StopRepositoryUpdateThread(void);

/* 1 when either slot has ever found altered installed definition files, else 0. */
FILEREPOSITORY_API uint32_t IllegalUpdatesDetected(void);

#ifdef __cplusplus
}
#endif

#endif /* FILEREPOSITORY_FILEREPOSITORY_H_ */
