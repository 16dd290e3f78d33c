/* Kernel-mode stand-in for the controllers' driver, for running the service under Wine (or
 * Windows) against a real driver. Test infrastructure: it holds no model of its own. Every
 * create, close, device control and read on a controller device, and every cancel of one, goes
 * to a user-mode host process (the simulated driver of sim/) through an inverted call on the
 * host control device: the host keeps a "next" request pending, the driver completes it with
 * the forwarded request, and the host's "answer" request completes the forwarded one.
 *
 * Devices:
 *   - one function device per root-enumerated controller (hardware id root\skyhelmsim), with the
 *     controller interface class, enabled while a host serves;
 *   - the control device \\.\VexmoorLegacyDevice, forwarded like a controller with no name;
 *   - the host control device \\.\SkyhelmSimHost, open to SYSTEM and Administrators only.
 * The two control devices exist while a controller does: made with the first, deleted with the
 * last (ending the host's service), so that nothing keeps the driver loaded afterwards.
 * When the host's handle closes, every request held for it fails and the interfaces go away, so
 * the service sees a removal, never a hang.
 *
 * Anyone who can open a controller can send it requests, so nothing a request carries is
 * trusted: only buffered transfers are forwarded, lengths are checked against wrap-around, and
 * only the host's serving handle may take and answer forwarded requests. */
#include <ddk/wdm.h>

#include "host_protocol.h"

/* From the kernel's security interface (ntifs.h, which the MinGW-w64 kit does not make
 * includable beside wdm.h). */
typedef struct SimpleAce {
    UCHAR type, flags;
    USHORT size;
    ACCESS_MASK mask;
    ULONG sid_start;
} SimpleAce;
#define kAclRevision 2
NTSYSAPI ULONG NTAPI RtlLengthSid(PSID sid);
NTSYSAPI NTSTATUS NTAPI RtlCreateAcl(PACL acl, ULONG size, ULONG revision);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL acl, ULONG revision, ACCESS_MASK mask,
                                               PSID sid);
NTKERNELAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID object, ULONG attributes,
                                                 PVOID access_state, ACCESS_MASK access,
                                                 PVOID type, KPROCESSOR_MODE mode,
                                                 PHANDLE handle);
NTSYSAPI NTSTATUS NTAPI ZwSetSecurityObject(HANDLE handle, ULONG information,
                                            PSECURITY_DESCRIPTOR descriptor);

static const GUID kControllerInterface =
    {0x19D936F8, 0xBAC2, 0x4636, {0x82, 0xB7, 0xBC, 0x2C, 0x35, 0xF3, 0x3F, 0x2A}};

/* "SkSm" in pool listings. */
#define kPoolTag ((ULONG)'S' | ((ULONG)'k' << 8) | ((ULONG)'S' << 16) | ((ULONG)'m' << 24))

enum DeviceRole { kRoleController = 1, kRoleLegacy = 2, kRoleHost = 3 };

typedef struct Extension {
    ULONG role;
    PDEVICE_OBJECT self, lower;
    UNICODE_STRING link;        /* controllers: the interface's symbolic link (paged) */
    /* The link again, in the (nonpaged) extension, for messages made at DISPATCH_LEVEL. */
    WCHAR name[SKYHELM_HOST_NAME_UNITS];
    ULONG64 id;                 /* names the controller in messages; never dereferenced */
    BOOLEAN started, enabled, removed;
    IO_REMOVE_LOCK remove_lock; /* controllers: held by every request in progress */
    LIST_ENTRY devices;         /* controllers: in g_controllers */
} Extension;

/* One message on its way to the host: a forwarded request (irp set while it is held) or a
 * notice (cancel, close, removal). It carries its own copy of the device's name, so that it
 * stays right after the device is gone. */
typedef struct Message {
    LIST_ENTRY entry;
    ULONG kind;
    ULONG64 tag;
    ULONG64 file;               /* the handle's opaque id */
    ULONG64 device;             /* the controller's id; 0 for the legacy device */
    WCHAR name[SKYHELM_HOST_NAME_UNITS];
    PIRP irp;
    BOOLEAN sent;
    BOOLEAN cancelled;          /* cancelled while held, left for the host to answer */
} Message;

static KSPIN_LOCK g_lock;       /* guards everything below it */
static LIST_ENTRY g_outbox;     /* messages not yet given to the host, oldest first */
static LIST_ENTRY g_held;       /* forwarded requests given to the host, awaiting the answer */
static LIST_ENTRY g_next;       /* the host's pending "next" requests */
static PFILE_OBJECT g_host;     /* the host's serving handle; null when no host serves */
static BOOLEAN g_host_cancels;  /* the host answers cancelled requests (SKYHELM_HOST_SERVE_CANCELS) */
static ULONG64 g_next_tag = 1;
static ULONG64 g_next_file = 1;
static ULONG64 g_next_device = 1;

static KMUTEX g_devices_mutex;  /* guards g_controllers and interface states */
static LIST_ENTRY g_controllers;

static PDRIVER_OBJECT g_driver;
/* Changed under both g_devices_mutex and g_lock; read under either. */
static PDEVICE_OBJECT g_host_device, g_legacy_device;

static NTSTATUS CreateControlDevices(void);
static void DeleteControlDevices(void);

static const WCHAR kHostDeviceName[] = L"\\Device\\SkyhelmSimHost";
static const WCHAR kHostLinkName[] = L"\\DosDevices\\SkyhelmSimHost";
static const WCHAR kLegacyDeviceName[] = L"\\Device\\VexmoorLegacyDevice";
static const WCHAR kLegacyLinkName[] = L"\\DosDevices\\VexmoorLegacyDevice";

static void *Allocate(SIZE_T size) {
    void *memory = ExAllocatePoolWithTag(NonPagedPoolNx, size, kPoolTag);
    if (memory != NULL) RtlZeroMemory(memory, size);
    return memory;
}

static void Free(void *memory) { ExFreePoolWithTag(memory, kPoolTag); }

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* A forwarded request holds its controller's remove lock until it completes; the controller
 * rides along in DriverContext[1] (null for the legacy device and the host's own requests). */
static void CompleteForwarded(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    Extension *ext = (Extension *)irp->Tail.Overlay.DriverContext[1];
    Complete(irp, status, information);
    if (ext != NULL) IoReleaseRemoveLock(&ext->remove_lock, irp);
}

/* Requests taken out of the lists under the lock are completed after it is released. */
typedef struct Finished {
    LIST_ENTRY irps;            /* linked through Tail.Overlay.ListEntry */
} Finished;

static void FinishLater(Finished *finished, PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    InsertTailList(&finished->irps, &irp->Tail.Overlay.ListEntry);
}

static void FinishAll(Finished *finished) {
    while (!IsListEmpty(&finished->irps)) {
        PLIST_ENTRY entry = RemoveHeadList(&finished->irps);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        CompleteForwarded(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

static ULONG64 FileId(PFILE_OBJECT file) {
    return file == NULL ? 0 : (ULONG64)(ULONG_PTR)file->FsContext2;
}

/* The forwarded request's sizes. Only buffered transfers come this far (see Forward). */
static void RequestSizes(ULONG kind, PIRP irp, ULONG *code, ULONG *input_size,
                         ULONG *output_capacity) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    *code = *input_size = *output_capacity = 0;
    if (kind == SKYHELM_HOST_CONTROL) {
        *code = stack->Parameters.DeviceIoControl.IoControlCode;
        *input_size = stack->Parameters.DeviceIoControl.InputBufferLength;
        *output_capacity = stack->Parameters.DeviceIoControl.OutputBufferLength;
    } else if (kind == SKYHELM_HOST_READ) {
        *output_capacity = stack->Parameters.Read.Length;
    }
}

/* Writes the message into a "next" request's buffer; the size written, or 0 when it does not
 * fit (the forwarded request then fails). */
static ULONG WriteMessage(const Message *message, PIRP next) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(next);
    ULONG capacity = stack->Parameters.DeviceIoControl.OutputBufferLength;
    SkyhelmHostRequest *out = (SkyhelmHostRequest *)next->AssociatedIrp.SystemBuffer;
    ULONG input_size = 0, output_capacity = 0, code = 0, size, i;
    const void *input = NULL;
    if (message->irp != NULL) {
        RequestSizes(message->kind, message->irp, &code, &input_size, &output_capacity);
        if (input_size > 0) input = message->irp->AssociatedIrp.SystemBuffer;
    }
    if (out == NULL || capacity < sizeof(SkyhelmHostRequest) ||
        input_size > capacity - sizeof(SkyhelmHostRequest) || (input_size > 0 && input == NULL)) {
        return 0;
    }
    size = sizeof(SkyhelmHostRequest) + input_size;
    out->size = size;
    out->kind = message->kind;
    out->tag = message->tag;
    out->file = message->file;
    out->code = code;
    out->input_size = input_size;
    out->output_capacity = output_capacity;
    out->reserved = 0;
    for (i = 0; i < SKYHELM_HOST_NAME_UNITS; ++i) out->device[i] = message->name[i];
    if (input_size > 0) RtlCopyMemory(out + 1, input, input_size);
    return size;
}

/* Hands queued messages to pending "next" requests. Lock held. */
static void Dispatch(Finished *finished) {
    while (!IsListEmpty(&g_outbox) && !IsListEmpty(&g_next)) {
        PLIST_ENTRY next_entry = RemoveHeadList(&g_next);
        PIRP next = CONTAINING_RECORD(next_entry, IRP, Tail.Overlay.ListEntry);
        Message *message;
        ULONG size;
        if (IoSetCancelRoutine(next, NULL) == NULL) {
            /* Its cancel routine runs and completes it; it only needs to be off the list. */
            InitializeListHead(&next->Tail.Overlay.ListEntry);
            continue;
        }
        message = CONTAINING_RECORD(RemoveHeadList(&g_outbox), Message, entry);
        size = WriteMessage(message, next);
        FinishLater(finished, next, STATUS_SUCCESS, size);
        if (size == 0 && message->irp != NULL && IoSetCancelRoutine(message->irp, NULL) != NULL) {
            /* Too large to forward: the forwarded request fails, the host hears nothing. */
            FinishLater(finished, message->irp, STATUS_INVALID_PARAMETER, 0);
            Free(message);
        } else if (message->irp != NULL) {
            /* Held for the answer (or, when being cancelled, for its cancel routine). */
            message->sent = TRUE;
            InsertTailList(&g_held, &message->entry);
        } else {
            Free(message);
        }
    }
}

/* A message with its own copy of the device's name. Any IRQL: the name is read from the
 * nonpaged extension, while the device is known to exist. */
static Message *NewMessage(ULONG kind, const Extension *device, ULONG64 file, PIRP irp) {
    Message *message = (Message *)Allocate(sizeof(Message));
    if (message == NULL) return NULL;
    message->kind = kind;
    message->file = file;
    message->irp = irp;
    if (device != NULL) {
        message->device = device->id;
        RtlCopyMemory(message->name, device->name, sizeof message->name);
    }
    return message;
}

/* A forwarded request cancelled by its sender: it ends with STATUS_CANCELLED at once, and the
 * host hears of it if it already has the request. */
static VOID NTAPI CancelForwarded(PDEVICE_OBJECT device, PIRP irp) {
    Message *message = (Message *)irp->Tail.Overlay.DriverContext[0];
    Finished finished;
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    InitializeListHead(&finished.irps);
    KeAcquireSpinLock(&g_lock, &irql);
    if (message->sent && g_host != NULL && g_host_cancels) {
        /* The host decides: the request stays held until it answers, its handle closes, the
         * device goes or the host goes. */
        Message *notice = NewMessage(SKYHELM_HOST_CANCEL, NULL, message->file, NULL);
        if (notice != NULL) {
            notice->tag = message->tag;
            notice->device = message->device;
            RtlCopyMemory(notice->name, message->name, sizeof notice->name);
            message->cancelled = TRUE;
            InsertTailList(&g_outbox, &notice->entry);
            Dispatch(&finished);
            KeReleaseSpinLock(&g_lock, irql);
            FinishAll(&finished);
            return;
        }
    }
    RemoveEntryList(&message->entry);
    if (message->sent && g_host != NULL) {
        message->kind = SKYHELM_HOST_CANCEL;
        message->irp = NULL;
        message->sent = FALSE;
        InsertTailList(&g_outbox, &message->entry);
        Dispatch(&finished);
    } else {
        Free(message);
    }
    KeReleaseSpinLock(&g_lock, irql);
    FinishAll(&finished);
    CompleteForwarded(irp, STATUS_CANCELLED, 0);
}

/* Queues a request for the host; STATUS_PENDING, or the status it failed with at once. The
 * caller holds the controller's remove lock for irp; it is released when irp completes. */
static NTSTATUS Forward(ULONG kind, Extension *device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Message *message;
    Finished finished;
    KIRQL irql;
    irp->Tail.Overlay.DriverContext[1] = device;
    /* Only buffered transfers: a direct or "neither" code would hand the host's answer a user
     * address or an MDL that this driver never checks. */
    if (kind == SKYHELM_HOST_CONTROL &&
        METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode) != METHOD_BUFFERED) {
        CompleteForwarded(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    message = NewMessage(kind, device, FileId(stack->FileObject), irp);
    if (message == NULL) {
        CompleteForwarded(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    InitializeListHead(&finished.irps);
    KeAcquireSpinLock(&g_lock, &irql);
    if (g_host == NULL || (device != NULL && device->removed)) {
        NTSTATUS status =
            kind == SKYHELM_HOST_CREATE ? STATUS_NO_SUCH_DEVICE : STATUS_DEVICE_NOT_CONNECTED;
        KeReleaseSpinLock(&g_lock, irql);
        Free(message);
        CompleteForwarded(irp, status, 0);
        return status;
    }
    message->tag = g_next_tag++;
    irp->Tail.Overlay.DriverContext[0] = message;
    IoSetCancelRoutine(irp, CancelForwarded);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        KeReleaseSpinLock(&g_lock, irql);
        Free(message);
        CompleteForwarded(irp, STATUS_CANCELLED, 0);
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(irp);
    InsertTailList(&g_outbox, &message->entry);
    Dispatch(&finished);
    KeReleaseSpinLock(&g_lock, irql);
    FinishAll(&finished);
    return STATUS_PENDING;
}

/* A notice for the host (close, removal); dropped when no host serves. Lock held. */
static void Notify(ULONG kind, const Extension *device, ULONG64 file, Finished *finished) {
    Message *message;
    if (g_host == NULL) return;
    message = NewMessage(kind, device, file, NULL);
    if (message == NULL) return;
    message->tag = g_next_tag++;
    InsertTailList(&g_outbox, &message->entry);
    Dispatch(finished);
}

/* Fails every held or queued request that matches (all when `all`; else those of the
 * controller `device`, 0 for the legacy device, and of `file` unless it is 0) with status;
 * notices for the host go too when everything is failed. Lock held. */
static void FailForwarded(ULONG64 device, ULONG64 file, BOOLEAN all, NTSTATUS status,
                          Finished *finished) {
    LIST_ENTRY *lists[2] = {&g_outbox, &g_held};
    int i;
    for (i = 0; i < 2; ++i) {
        PLIST_ENTRY entry = lists[i]->Flink;
        while (entry != lists[i]) {
            Message *message = CONTAINING_RECORD(entry, Message, entry);
            entry = entry->Flink;
            if (!all && message->device != device) continue;
            if (!all && file != 0 && message->file != file) continue;
            if (message->irp == NULL) {
                if (all) {
                    RemoveEntryList(&message->entry);
                    Free(message);
                }
                continue;
            }
            /* Being cancelled, unless the cancel was left to the host (then it is ours). */
            if (!message->cancelled && IoSetCancelRoutine(message->irp, NULL) == NULL) continue;
            RemoveEntryList(&message->entry);
            FinishLater(finished, message->irp, status, 0);
            if (message->sent && !message->cancelled && !all) {
                /* The host holds it: tell it, as for a cancel. */
                message->kind = SKYHELM_HOST_CANCEL;
                message->irp = NULL;
                message->sent = FALSE;
                InsertTailList(&g_outbox, &message->entry);
            } else {
                Free(message);
            }
        }
    }
}

static void SetInterface(Extension *device, BOOLEAN on) {
    if (device->link.Buffer == NULL || device->enabled == on) return;
    if (NT_SUCCESS(IoSetDeviceInterfaceState(&device->link, on))) device->enabled = on;
}

/* Interfaces are enabled while a host serves, so that no one opens a controller that nobody
 * answers. */
static void UpdateInterfaces(void) {
    PLIST_ENTRY entry;
    KeWaitForSingleObject(&g_devices_mutex, Executive, KernelMode, FALSE, NULL);
    for (entry = g_controllers.Flink; entry != &g_controllers; entry = entry->Flink) {
        Extension *device = CONTAINING_RECORD(entry, Extension, devices);
        BOOLEAN on;
        KIRQL irql;
        KeAcquireSpinLock(&g_lock, &irql);
        on = g_host != NULL && device->started && !device->removed;
        KeReleaseSpinLock(&g_lock, irql);
        SetInterface(device, on);
    }
    KeReleaseMutex(&g_devices_mutex, FALSE);
}

static VOID NTAPI CancelNext(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&g_lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&g_lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

/* Copies the host's output into the forwarded request, never more than its sender can take. */
static ULONG CopyAnswer(const Message *found, const SkyhelmHostAnswer *answer) {
    ULONG code, input_size, capacity, bytes = answer->bytes;
    RequestSizes(found->kind, found->irp, &code, &input_size, &capacity);
    if (bytes > capacity) bytes = capacity;
    if (bytes == 0 || found->irp->AssociatedIrp.SystemBuffer == NULL) return 0;
    RtlCopyMemory(found->irp->AssociatedIrp.SystemBuffer, answer + 1, bytes);
    return bytes;
}

/* The host's answer on its serving handle: {tag, NTSTATUS, bytes, output}. */
static NTSTATUS Answer(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG size = stack->Parameters.DeviceIoControl.InputBufferLength;
    const SkyhelmHostAnswer *answer = (const SkyhelmHostAnswer *)irp->AssociatedIrp.SystemBuffer;
    PLIST_ENTRY entry;
    Message *found = NULL;
    NTSTATUS status = STATUS_NOT_FOUND;
    KIRQL irql;
    if (answer == NULL || size < sizeof(SkyhelmHostAnswer) ||
        size - sizeof(SkyhelmHostAnswer) < answer->bytes) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    /* Success other than STATUS_SUCCESS (STATUS_PENDING, STATUS_REPARSE, ...) and informational
     * statuses mean something else to the I/O manager than "done": a request completes with
     * success, a warning or an error. */
    if (answer->status > 0) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    KeAcquireSpinLock(&g_lock, &irql);
    if (g_host == NULL || g_host != stack->FileObject) {
        status = STATUS_ACCESS_DENIED;
    } else {
        for (entry = g_held.Flink; entry != &g_held; entry = entry->Flink) {
            Message *message = CONTAINING_RECORD(entry, Message, entry);
            if (message->tag != answer->tag) continue;
            if (message->cancelled || IoSetCancelRoutine(message->irp, NULL) != NULL) {
                RemoveEntryList(&message->entry);
                found = message;
            }
            break;
        }
    }
    KeReleaseSpinLock(&g_lock, irql);
    if (found == NULL) return Complete(irp, status, 0);
    {
        PIRP forwarded = found->irp;
        ULONG bytes = CopyAnswer(found, answer);
        Free(found);
        /* As the I/O manager copies a buffered request's output for success and warning
         * statuses (STATUS_BUFFER_OVERFLOW carries the part that fitted), not for errors. */
        CompleteForwarded(forwarded, (NTSTATUS)answer->status,
                          NT_ERROR(answer->status) ? 0 : bytes);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS HostControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Finished finished;
    KIRQL irql;
    InitializeListHead(&finished.irps);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SKYHELM_HOST_SERVE: {
        NTSTATUS status = STATUS_SUCCESS;
        ULONG flags = 0;
        if (stack->Parameters.DeviceIoControl.InputBufferLength >= sizeof(ULONG) &&
            irp->AssociatedIrp.SystemBuffer != NULL) {
            flags = *(const ULONG *)irp->AssociatedIrp.SystemBuffer;
        }
        KeAcquireSpinLock(&g_lock, &irql);
        if (device != g_host_device) {
            status = STATUS_DELETE_PENDING;  /* a handle of a host device deleted since */
        } else if (g_host != NULL && g_host != stack->FileObject) {
            status = STATUS_DEVICE_BUSY;
        } else {
            g_host = stack->FileObject;
            g_host_cancels = (flags & SKYHELM_HOST_SERVE_CANCELS) != 0;
        }
        KeReleaseSpinLock(&g_lock, irql);
        if (NT_SUCCESS(status)) UpdateInterfaces();
        return Complete(irp, status, 0);
    }
    case IOCTL_SKYHELM_HOST_NEXT:
        KeAcquireSpinLock(&g_lock, &irql);
        if (g_host == NULL || g_host != stack->FileObject) {
            KeReleaseSpinLock(&g_lock, irql);
            return Complete(irp, STATUS_ACCESS_DENIED, 0);
        }
        irp->Tail.Overlay.DriverContext[1] = NULL;
        IoSetCancelRoutine(irp, CancelNext);
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
            KeReleaseSpinLock(&g_lock, irql);
            return Complete(irp, STATUS_CANCELLED, 0);
        }
        IoMarkIrpPending(irp);
        InsertTailList(&g_next, &irp->Tail.Overlay.ListEntry);
        Dispatch(&finished);
        KeReleaseSpinLock(&g_lock, irql);
        FinishAll(&finished);
        return STATUS_PENDING;
    case IOCTL_SKYHELM_HOST_ANSWER:
        return Answer(irp);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* The host's handle goes: every request held for it fails, its "next" requests end, and the
 * controllers' interfaces are disabled. */
static void HostGone(PFILE_OBJECT file) {
    Finished finished;
    KIRQL irql;
    BOOLEAN was_host;
    PLIST_ENTRY entry;
    InitializeListHead(&finished.irps);
    KeAcquireSpinLock(&g_lock, &irql);
    was_host = g_host == file;
    if (was_host) {
        FailForwarded(0, 0, TRUE, STATUS_DEVICE_NOT_CONNECTED, &finished);
        g_host = NULL;
        g_host_cancels = FALSE;
    }
    /* Only this handle's "next" requests end; another handle's close leaves the host be. */
    entry = g_next.Flink;
    while (entry != &g_next) {
        PIRP next = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        entry = entry->Flink;
        if (IoGetCurrentIrpStackLocation(next)->FileObject != file) continue;
        RemoveEntryList(&next->Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(next, NULL) != NULL) {
            FinishLater(&finished, next, STATUS_CANCELLED, 0);
        } else {
            InitializeListHead(&next->Tail.Overlay.ListEntry);
        }
    }
    KeReleaseSpinLock(&g_lock, irql);
    FinishAll(&finished);
    if (was_host) UpdateInterfaces();
}

/* The controller of a device object, with its remove lock taken for irp; null for the legacy
 * device. *gone is set when the controller is being removed (nothing is forwarded then). */
static Extension *Acquire(Extension *ext, PIRP irp, BOOLEAN *gone) {
    *gone = FALSE;
    if (ext->role != kRoleController) return NULL;
    if (!NT_SUCCESS(IoAcquireRemoveLock(&ext->remove_lock, irp))) {
        *gone = TRUE;
        return NULL;
    }
    return ext;
}

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    Extension *ext = (Extension *)device->DeviceExtension;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    Extension *controller;
    BOOLEAN gone;
    KIRQL irql;
    if (ext->role == kRoleHost) return Complete(irp, STATUS_SUCCESS, 0);
    controller = Acquire(ext, irp, &gone);
    if (gone) return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
    /* The host knows a handle by a counter, never by the address of its file object. */
    KeAcquireSpinLock(&g_lock, &irql);
    file->FsContext2 = (PVOID)(ULONG_PTR)g_next_file++;
    KeReleaseSpinLock(&g_lock, irql);
    return Forward(SKYHELM_HOST_CREATE, controller, irp);
}

/* The handle is going: requests still held for it end. Windows sends the cleanup request when
 * the last user handle closes; Wine sends only the close, so the close does this too. */
static void FileGone(Extension *ext, PFILE_OBJECT file) {
    Finished finished;
    KIRQL irql;
    if (ext->role == kRoleHost) {
        HostGone(file);
        return;
    }
    InitializeListHead(&finished.irps);
    KeAcquireSpinLock(&g_lock, &irql);
    FailForwarded(ext->role == kRoleController ? ext->id : 0, FileId(file), FALSE,
                  STATUS_CANCELLED, &finished);
    Dispatch(&finished);
    KeReleaseSpinLock(&g_lock, irql);
    FinishAll(&finished);
}

static NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    Extension *ext = (Extension *)device->DeviceExtension;
    Extension *controller;
    BOOLEAN gone;
    controller = Acquire(ext, irp, &gone);
    /* After a removal the host has ended the device's connections already. */
    if (!gone) FileGone(ext, IoGetCurrentIrpStackLocation(irp)->FileObject);
    Complete(irp, STATUS_SUCCESS, 0);
    if (controller != NULL) IoReleaseRemoveLock(&controller->remove_lock, irp);
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    Extension *ext = (Extension *)device->DeviceExtension;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    Extension *controller;
    BOOLEAN gone;
    controller = Acquire(ext, irp, &gone);
    if (!gone) FileGone(ext, file);
    if (!gone && ext->role != kRoleHost) {
        Finished finished;
        KIRQL irql;
        InitializeListHead(&finished.irps);
        KeAcquireSpinLock(&g_lock, &irql);
        Notify(SKYHELM_HOST_CLOSE, controller, FileId(file), &finished);
        KeReleaseSpinLock(&g_lock, irql);
        FinishAll(&finished);
    }
    Complete(irp, STATUS_SUCCESS, 0);
    if (controller != NULL) IoReleaseRemoveLock(&controller->remove_lock, irp);
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    Extension *ext = (Extension *)device->DeviceExtension;
    Extension *controller;
    BOOLEAN gone;
    if (ext->role == kRoleHost) return HostControl(device, irp);
    controller = Acquire(ext, irp, &gone);
    if (gone) return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    return Forward(SKYHELM_HOST_CONTROL, controller, irp);
}

static NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    Extension *ext = (Extension *)device->DeviceExtension;
    Extension *controller;
    BOOLEAN gone;
    if (ext->role == kRoleHost) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    controller = Acquire(ext, irp, &gone);
    if (gone) return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    return Forward(SKYHELM_HOST_READ, controller, irp);
}

/* Removal of a controller: marked removed under the device lock before its interface goes, so
 * that no request is forwarded for it from then on; its requests fail as a removal and the host
 * hears of it. */
static void ControllerGone(Extension *ext) {
    Finished finished;
    KIRQL irql;
    InitializeListHead(&finished.irps);
    KeWaitForSingleObject(&g_devices_mutex, Executive, KernelMode, FALSE, NULL);
    KeAcquireSpinLock(&g_lock, &irql);
    if (!ext->removed) {
        ext->removed = TRUE;
        FailForwarded(ext->id, 0, FALSE, STATUS_DEVICE_NOT_CONNECTED, &finished);
        Notify(SKYHELM_HOST_REMOVED, ext, 0, &finished);
    }
    KeReleaseSpinLock(&g_lock, irql);
    SetInterface(ext, FALSE);
    KeReleaseMutex(&g_devices_mutex, FALSE);
    FinishAll(&finished);
}

static NTSTATUS NTAPI LowerDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    (void)irp;
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  /* the dispatch routine completes it */
}

/* Sends irp down the stack and waits for the drivers below to finish it (what
 * IoForwardIrpSynchronously does; Wine 8 does not have that routine). */
static NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT done;
    NTSTATUS status;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, LowerDone, &done, TRUE, TRUE, TRUE);
    status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    return status;
}

static NTSTATUS StartController(Extension *ext, PIRP irp) {
    /* The bus driver starts the device first; the interface is enabled after that. */
    NTSTATUS status = ForwardAndWait(ext->lower, irp);
    if (NT_SUCCESS(status)) {
        ext->started = TRUE;
        UpdateInterfaces();
    }
    return status;
}

static NTSTATUS RemoveController(PDEVICE_OBJECT device, Extension *ext, PIRP irp) {
    PDEVICE_OBJECT lower = ext->lower;
    NTSTATUS status;
    /* Handles still open on the device are dead from here on: under Wine their closes never
     * reach this driver, so the host ends their connections on the removal notice. */
    ControllerGone(ext);
    IoReleaseRemoveLockAndWait(&ext->remove_lock, irp);
    KeWaitForSingleObject(&g_devices_mutex, Executive, KernelMode, FALSE, NULL);
    RemoveEntryList(&ext->devices);
    if (IsListEmpty(&g_controllers)) DeleteControlDevices();
    KeReleaseMutex(&g_devices_mutex, FALSE);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    status = IoCallDriver(lower, irp);
    IoDetachDevice(lower);
    RtlFreeUnicodeString(&ext->link);
    IoDeleteDevice(device);
    return status;
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    Extension *ext = (Extension *)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    if (ext->role != kRoleController) return Complete(irp, STATUS_NOT_SUPPORTED, 0);
    status = IoAcquireRemoveLock(&ext->remove_lock, irp);
    if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = StartController(ext, irp);
        Complete(irp, status, 0);
        IoReleaseRemoveLock(&ext->remove_lock, irp);
        return status;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        ControllerGone(ext);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        return RemoveController(device, ext, irp);
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    status = IoCallDriver(ext->lower, irp);
    IoReleaseRemoveLock(&ext->remove_lock, irp);
    return status;
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    Extension *ext = (Extension *)device->DeviceExtension;
    if (ext->role != kRoleController) return Complete(irp, STATUS_NOT_SUPPORTED, 0);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    Extension *ext;
    ULONG units;
    KIRQL irql;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    ext = (Extension *)fdo->DeviceExtension;
    RtlZeroMemory(ext, sizeof *ext);
    ext->role = kRoleController;
    ext->self = fdo;
    IoInitializeRemoveLock(&ext->remove_lock, kPoolTag, 0, 0);
    status = IoRegisterDeviceInterface(pdo, &kControllerInterface, NULL, &ext->link);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    units = ext->link.Length / sizeof(WCHAR);
    if (units >= SKYHELM_HOST_NAME_UNITS) {
        /* The host could not tell this controller's messages apart. */
        RtlFreeUnicodeString(&ext->link);
        IoDeleteDevice(fdo);
        return STATUS_NAME_TOO_LONG;
    }
    RtlCopyMemory(ext->name, ext->link.Buffer, units * sizeof(WCHAR));
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (ext->lower == NULL) {
        RtlFreeUnicodeString(&ext->link);
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    KeAcquireSpinLock(&g_lock, &irql);
    ext->id = g_next_device++;
    KeReleaseSpinLock(&g_lock, irql);
    KeWaitForSingleObject(&g_devices_mutex, Executive, KernelMode, FALSE, NULL);
    status = CreateControlDevices();
    if (NT_SUCCESS(status)) InsertTailList(&g_controllers, &ext->devices);
    KeReleaseMutex(&g_devices_mutex, FALSE);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(ext->lower);
        RtlFreeUnicodeString(&ext->link);
        IoDeleteDevice(fdo);
        return status;
    }
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

/* S-1-5-18 (SYSTEM) and S-1-5-32-544 (Administrators), laid out as SIDs. */
static const struct { UCHAR revision, count; UCHAR authority[6]; ULONG sub[1]; } kSystemSid = {
    1, 1, {0, 0, 0, 0, 0, 5}, {18}};
static const struct { UCHAR revision, count; UCHAR authority[6]; ULONG sub[2]; } kAdminsSid = {
    1, 2, {0, 0, 0, 0, 0, 5}, {32, 544}};

/* What IoCreateDeviceSecure gives with "D:P(A;;GA;;;SY)(A;;GA;;;BA)": only SYSTEM and
 * Administrators may open the device. That routine lives in a static library of the driver kit,
 * not in the kernel, so the same is done here: the device gets a DACL of these two entries
 * before anyone can open it (it is still initializing). */
static NTSTATUS RestrictToAdministrators(PDEVICE_OBJECT device) {
    ULONG acl_size = sizeof(ACL) + 2 * (sizeof(SimpleAce) - sizeof(ULONG)) +
                     RtlLengthSid((PSID)&kSystemSid) + RtlLengthSid((PSID)&kAdminsSid);
    /* An absolute security descriptor: 20 bytes of header and four pointers. */
    ULONG64 descriptor[6] = {0};
    HANDLE handle = NULL;
    PACL acl = (PACL)Allocate(acl_size);
    NTSTATUS status;
    if (acl == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    status = RtlCreateAcl(acl, acl_size, kAclRevision);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(acl, kAclRevision, FILE_ALL_ACCESS, (PSID)&kSystemSid);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(acl, kAclRevision, FILE_ALL_ACCESS, (PSID)&kAdminsSid);
    if (NT_SUCCESS(status)) status = RtlCreateSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status)) status = RtlSetDaclSecurityDescriptor(descriptor, TRUE, acl, FALSE);
    if (NT_SUCCESS(status)) {
        status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL,
                                       KernelMode, &handle);
    }
    if (NT_SUCCESS(status)) {
        status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, descriptor);
        ZwClose(handle);
    }
    Free(acl);
    return status;
}

static NTSTATUS CreateNamedDevice(PDRIVER_OBJECT driver, const WCHAR *name, const WCHAR *link,
                                  ULONG role, PDEVICE_OBJECT *out) {
    UNICODE_STRING device_name, link_name;
    PDEVICE_OBJECT device;
    Extension *ext;
    NTSTATUS status;
    RtlInitUnicodeString(&device_name, name);
    RtlInitUnicodeString(&link_name, link);
    status = IoCreateDevice(driver, sizeof(Extension), &device_name, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    ext = (Extension *)device->DeviceExtension;
    RtlZeroMemory(ext, sizeof *ext);
    ext->role = role;
    ext->self = device;
    if (role == kRoleHost) status = RestrictToAdministrators(device);
    if (NT_SUCCESS(status)) status = IoCreateSymbolicLink(&link_name, &device_name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    *out = device;
    return STATUS_SUCCESS;
}

static void DeleteNamedDevice(PDEVICE_OBJECT device, const WCHAR *link) {
    UNICODE_STRING link_name;
    if (device == NULL) return;
    RtlInitUnicodeString(&link_name, link);
    IoDeleteSymbolicLink(&link_name);
    IoDeleteDevice(device);
}

/* Makes the control devices when there are none. g_devices_mutex held. */
static NTSTATUS CreateControlDevices(void) {
    PDEVICE_OBJECT host = NULL, legacy = NULL;
    NTSTATUS status;
    KIRQL irql;
    if (g_host_device != NULL) return STATUS_SUCCESS;
    status = CreateNamedDevice(g_driver, kHostDeviceName, kHostLinkName, kRoleHost, &host);
    if (!NT_SUCCESS(status)) return status;
    status = CreateNamedDevice(g_driver, kLegacyDeviceName, kLegacyLinkName, kRoleLegacy, &legacy);
    if (!NT_SUCCESS(status)) {
        DeleteNamedDevice(host, kHostLinkName);
        return status;
    }
    KeAcquireSpinLock(&g_lock, &irql);
    g_host_device = host;
    g_legacy_device = legacy;
    KeReleaseSpinLock(&g_lock, irql);
    return STATUS_SUCCESS;
}

/* Deletes the control devices with the last controller: the host's service ends (its held and
 * pending requests fail; it serves again on the host device made with the next controller).
 * g_devices_mutex held. */
static void DeleteControlDevices(void) {
    PDEVICE_OBJECT host, legacy;
    Finished finished;
    KIRQL irql;
    InitializeListHead(&finished.irps);
    KeAcquireSpinLock(&g_lock, &irql);
    FailForwarded(0, 0, TRUE, STATUS_DEVICE_NOT_CONNECTED, &finished);
    g_host = NULL;
    g_host_cancels = FALSE;
    while (!IsListEmpty(&g_next)) {
        PIRP next = CONTAINING_RECORD(RemoveHeadList(&g_next), IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(next, NULL) != NULL) {
            FinishLater(&finished, next, STATUS_DELETE_PENDING, 0);
        } else {
            InitializeListHead(&next->Tail.Overlay.ListEntry);
        }
    }
    host = g_host_device;
    legacy = g_legacy_device;
    g_host_device = g_legacy_device = NULL;
    KeReleaseSpinLock(&g_lock, irql);
    FinishAll(&finished);
    DeleteNamedDevice(legacy, kLegacyLinkName);
    DeleteNamedDevice(host, kHostLinkName);
}

static VOID NTAPI Unload(PDRIVER_OBJECT driver) {
    (void)driver;
    DeleteControlDevices();
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    (void)registry_path;
    KeInitializeSpinLock(&g_lock);
    InitializeListHead(&g_outbox);
    InitializeListHead(&g_held);
    InitializeListHead(&g_next);
    InitializeListHead(&g_controllers);
    KeInitializeMutex(&g_devices_mutex, 0);
    driver->DriverExtension->AddDevice = AddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->DriverUnload = Unload;
    g_driver = driver;
    return STATUS_SUCCESS;
}
