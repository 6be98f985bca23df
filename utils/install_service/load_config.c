/*
 * The image's load configuration, as Windows 10 and later read it.
 * MinGW-w64's headers describe only its first fields, so the layout is our
 * own, each field's offset pinned below.  lld writes the load configuration
 * directory from this symbol (GNU ld 2.40 would leave it out), fills in the
 * Control Flow Guard tables that it names, and with --guard-cf warns where
 * a guard field does not hold what it wrote, which the build makes an
 * error.  Its pointers are among the few absolute addresses in an image
 * whose code is relative to where it runs: lld writes base relocations for
 * them, which Windows needs in order to load the image at a random address.
 */
#include <stddef.h>
#include <stdint.h>
#include <windows.h>

struct load_configuration {
	uint32_t Size;
	uint32_t TimeDateStamp;
	uint16_t MajorVersion;
	uint16_t MinorVersion;
	uint32_t GlobalFlagsClear;
	uint32_t GlobalFlagsSet;
	uint32_t CriticalSectionDefaultTimeout;
	uint64_t DeCommitFreeBlockThreshold;
	uint64_t DeCommitTotalFreeThreshold;
	uint64_t LockPrefixTable;
	uint64_t MaximumAllocationSize;
	uint64_t VirtualMemoryThreshold;
	uint64_t ProcessAffinityMask;
	uint32_t ProcessHeapFlags;
	uint16_t CSDVersion;
	uint16_t DependentLoadFlags;
	uint64_t EditList;
	uint64_t SecurityCookie;
	uint64_t SEHandlerTable;
	uint64_t SEHandlerCount;
	uint64_t GuardCFCheckFunctionPointer;
	uint64_t GuardCFDispatchFunctionPointer;
	uint64_t GuardCFFunctionTable;
	uint64_t GuardCFFunctionCount;
	uint32_t GuardFlags;
	uint16_t CodeIntegrityFlags;
	uint16_t CodeIntegrityCatalog;
	uint32_t CodeIntegrityCatalogOffset;
	uint32_t CodeIntegrityReserved;
	uint64_t GuardAddressTakenIatEntryTable;
	uint64_t GuardAddressTakenIatEntryCount;
	uint64_t GuardLongJumpTargetTable;
	uint64_t GuardLongJumpTargetCount;
	uint64_t DynamicValueRelocTable;
	uint64_t CHPEMetadataPointer;
	uint64_t GuardRFFailureRoutine;
	uint64_t GuardRFFailureRoutineFunctionPointer;
	uint32_t DynamicValueRelocTableOffset;
	uint16_t DynamicValueRelocTableSection;
	uint16_t Reserved2;
	uint64_t GuardRFVerifyStackPointerFunctionPointer;
	uint32_t HotPatchTableOffset;
	uint32_t Reserved3;
	uint64_t EnclaveConfigurationPointer;
	uint64_t VolatileMetadataPointer;
	uint64_t GuardEHContinuationTable;
	uint64_t GuardEHContinuationCount;
	uint64_t GuardXFGCheckFunctionPointer;
	uint64_t GuardXFGDispatchFunctionPointer;
	uint64_t GuardXFGTableDispatchFunctionPointer;
	uint64_t CastGuardOsDeterminedFailureMode;
	uint64_t GuardMemcpyFunctionPointer;
};

/* The offsets of IMAGE_LOAD_CONFIG_DIRECTORY64 in Microsoft's headers. */
_Static_assert(offsetof(struct load_configuration, DependentLoadFlags) == 0x4E, "DependentLoadFlags");
_Static_assert(offsetof(struct load_configuration, SecurityCookie) == 0x58, "SecurityCookie");
_Static_assert(offsetof(struct load_configuration, GuardCFCheckFunctionPointer) == 0x70, "guard check");
_Static_assert(offsetof(struct load_configuration, GuardCFDispatchFunctionPointer) == 0x78, "guard dispatch");
_Static_assert(offsetof(struct load_configuration, GuardCFFunctionTable) == 0x80, "GuardCFFunctionTable");
_Static_assert(offsetof(struct load_configuration, GuardFlags) == 0x90, "GuardFlags");
_Static_assert(offsetof(struct load_configuration, GuardLongJumpTargetCount) == 0xB8, "GuardLongJumpTargetCount");
_Static_assert(offsetof(struct load_configuration, GuardEHContinuationCount) == 0x110, "GuardEHContinuationCount");
_Static_assert(sizeof(struct load_configuration) == 0x140, "the whole load configuration");

/* GuardFlags: instrumented, with a table of valid call targets, and a table
 * of longjmp targets (empty: tolvane has no setjmp), as lld --guard-cf
 * describes the image. */
enum {
	guard_cf_instrumented = 0x100,
	guard_cf_function_table_present = 0x400,
	guard_cf_longjump_table_present = 0x10000,
};

/* Made by lld. */
extern const char __guard_fids_table[], __guard_fids_count[], __guard_longjmp_table[], __guard_longjmp_count[];
extern const char __guard_iat_table[], __guard_iat_count[];

/* The run-time's: the stack cookie and the guard's function pointers. */
extern uintptr_t __stack_chk_guard;
extern void *const __guard_check_icall_fptr;
extern void *const __guard_dispatch_icall_fptr;

const struct load_configuration _load_config_used = {
	.Size = sizeof(struct load_configuration),
	/* Windows 10 1607 and later resolve tolvane.exe's imports, the
	 * installer library above all, only from tolvane.exe's own folder and
	 * System32: never from the current folder or a folder on PATH, which
	 * a user may be able to write.  Earlier Windows ignores the field. */
	.DependentLoadFlags = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32,
	/* Windows gives the cookie a random value at load time while it holds
	 * the default of Microsoft's C run-time. */
	.SecurityCookie = (uintptr_t)&__stack_chk_guard,
	/* Windows writes its checks into these pointers where it enforces the
	 * guard. */
	.GuardCFCheckFunctionPointer = (uintptr_t)&__guard_check_icall_fptr,
	.GuardCFDispatchFunctionPointer = (uintptr_t)&__guard_dispatch_icall_fptr,
	.GuardCFFunctionTable = (uintptr_t)__guard_fids_table,
	.GuardCFFunctionCount = (uintptr_t)__guard_fids_count,
	.GuardFlags = guard_cf_instrumented | guard_cf_function_table_present | guard_cf_longjump_table_present,
	.GuardAddressTakenIatEntryTable = (uintptr_t)__guard_iat_table,
	.GuardAddressTakenIatEntryCount = (uintptr_t)__guard_iat_count,
	.GuardLongJumpTargetTable = (uintptr_t)__guard_longjmp_table,
	.GuardLongJumpTargetCount = (uintptr_t)__guard_longjmp_count,
};
