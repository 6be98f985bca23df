/*
 * The vendor's installer library, ZEL_Act_Installer.dll: the three
 * operations tolvane binds at load time.  Plain C names, no decoration.
 *
 * Reporting works like a system interface: the install call returns only a
 * boolean; the status code of the most recent operation is queried
 * separately and turned into text by a third call.  Strings cross the
 * boundary borrowed: the library reads the caller's names only during the
 * call, and the caller reads the library's text without ever freeing it.
 */
#ifndef ZEL_ACT_INSTALLER_H
#define ZEL_ACT_INSTALLER_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(ZEL_ACT_INSTALLER_BUILD)
#    define ZEL_ACT_API __declspec(dllexport)
#  else
#    define ZEL_ACT_API __declspec(dllimport)
#  endif
#else
#  define ZEL_ACT_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One byte; any nonzero value means true. */
typedef unsigned char zel_bool;

/* The library's status codes: zero and non-zero alike may come with success. */
typedef int32_t zel_status_code;

/* Installs the anchor service for one publisher's product; nonzero when it is installed. */
ZEL_ACT_API zel_bool zelActSvcInstallWin(const char *publisher_name, const char *product_name);

/* The status code of the library's most recent operation. */
ZEL_ACT_API zel_status_code zelActSvcGetLastErrorWin(void);

/* A readable text for any status code; the library owns it. */
ZEL_ACT_API const char *zelActSvcStatusCodeToText(zel_status_code code);

#ifdef __cplusplus
}
#endif

#endif
