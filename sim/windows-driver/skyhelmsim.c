/* Kernel-mode stand-in for the controllers' driver, for running the service under Wine (or
 * Windows) against a real driver. It holds no model of its own: every create, close, device
 * control and read on a controller device, and every cancel of one, goes to a user-mode host
 * process (the simulated driver of sim/) through an inverted call on the host control device:
 * the host keeps a "next" request pending, the driver completes it with the forwarded request,
 * and the host's "answer" request completes the forwarded one.
 *
 * Devices:
 *   - one function device per root-enumerated controller (hardware id root\skyhelmsim), with the
 *     controller interface class, enabled while a host serves;
 *   - the control device \\.\VexmoorLegacyDevice, forwarded like a controller with no name;
 *   - the host control device \\.\SkyhelmSimHost.
 * When the host's handle closes, every request held for it fails and the interfaces go away, so
 * the service sees a removal, never a hang. */
#include <ddk/wdm.h>

#include "host_protocol.h"

static const GUID kControllerInterface =
    {0x19D936F8, 0xBAC2, 0x4636, {0x82, 0xB7, 0xBC, 0x2C, 0x35, 0xF3, 0x3F, 0x2A}};

enum DeviceRole { kRoleController = 1, kRoleLegacy = 2, kRoleHost = 3 };

typedef struct Extension {
    ULONG role;
    PDEVICE_OBJECT self, lower;
    UNICODE_STRING link;        /* controllers: the interface's symbolic link */
    BOOLEAN started, enabled, removed;
    LIST_ENTRY devices;         /* controllers: in g_controllers */
} Extension;

/* One message on its way to the host: a forwarded request (irp set while it is held) or a
 * notice (cancel, close, removal). */
typedef struct Message {
    LIST_ENTRY entry;
    ULONG kind;
    ULONG64 tag;
    ULONG64 file;
    Extension *device;          /* null for the legacy device */
    PIRP irp;
    BOOLEAN sent;
} Message;

static KSPIN_LOCK g_lock;       /* guards everything below it */
static LIST_ENTRY g_outbox;     /* messages not yet given to the host, oldest first */
static LIST_ENTRY g_held;       /* forwarded requests given to the host, awaiting the answer */
static LIST_ENTRY g_next;       /* the host's pending "next" requests */
static PFILE_OBJECT g_host;     /* the host's handle; null when no host serves */
static ULONG64 g_next_tag = 1;

static KMUTEX g_devices_mutex;  /* guards g_controllers and interface states */
static LIST_ENTRY g_controllers;

static PDEVICE_OBJECT g_host_device, g_legacy_device;

static const WCHAR kHostDeviceName[] = L"\\Device\\SkyhelmSimHost";
static const WCHAR kHostLinkName[] = L"\\DosDevices\\SkyhelmSimHost";
static const WCHAR kLegacyDeviceName[] = L"\\Device\\VexmoorLegacyDevice";
static const WCHAR kLegacyLinkName[] = L"\\DosDevices\\VexmoorLegacyDevice";

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
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
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

static void CopyDeviceName(const Extension *device, uint16_t *out) {
    ULONG units = 0, i;
    RtlZeroMemory(out, SKYHELM_HOST_NAME_UNITS * sizeof(WCHAR));
    if (device == NULL || device->link.Buffer == NULL) return;
    units = device->link.Length / sizeof(WCHAR);
    if (units >= SKYHELM_HOST_NAME_UNITS) units = SKYHELM_HOST_NAME_UNITS - 1;
    for (i = 0; i < units; ++i) out[i] = device->link.Buffer[i];
}

/* Writes the message into a "next" request's buffer; the size written, or 0 when it does not
 * fit (the forwarded request then fails). */
static ULONG WriteMessage(const Message *message, PIRP next) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(next);
    ULONG capacity = stack->Parameters.DeviceIoControl.OutputBufferLength;
    SkyhelmHostRequest *out = (SkyhelmHostRequest *)next->AssociatedIrp.SystemBuffer;
    ULONG input_size = 0, output_capacity = 0, code = 0, size;
    const void *input = NULL;
    if (message->irp != NULL) {
        PIO_STACK_LOCATION forwarded = IoGetCurrentIrpStackLocation(message->irp);
        if (message->kind == SKYHELM_HOST_CONTROL) {
            code = forwarded->Parameters.DeviceIoControl.IoControlCode;
            input_size = forwarded->Parameters.DeviceIoControl.InputBufferLength;
            output_capacity = forwarded->Parameters.DeviceIoControl.OutputBufferLength;
            input = message->irp->AssociatedIrp.SystemBuffer;
        } else if (message->kind == SKYHELM_HOST_READ) {
            output_capacity = forwarded->Parameters.Read.Length;
        }
    }
    size = sizeof(SkyhelmHostRequest) + input_size;
    if (out == NULL || capacity < size) return 0;
    out->size = size;
    out->kind = message->kind;
    out->tag = message->tag;
    out->file = message->file;
    out->code = code;
    out->input_size = input_size;
    out->output_capacity = output_capacity;
    out->reserved = 0;
    CopyDeviceName(message->device, out->device);
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
        if (size == 0) {
            /* Too large to forward: the forwarded request fails, the host hears nothing. */
            if (message->irp != NULL && IoSetCancelRoutine(message->irp, NULL) != NULL) {
                FinishLater(finished, message->irp, STATUS_INVALID_PARAMETER, 0);
                ExFreePool(message);
            } else if (message->irp == NULL) {
                ExFreePool(message);
            } else {
                message->sent = TRUE;
                InsertTailList(&g_held, &message->entry);
            }
            continue;
        }
        if (message->irp != NULL) {
            message->sent = TRUE;
            InsertTailList(&g_held, &message->entry);
        } else {
            ExFreePool(message);
        }
    }
}

static Message *NewMessage(ULONG kind, Extension *device, PFILE_OBJECT file, PIRP irp) {
    Message *message = (Message *)ExAllocatePool(NonPagedPool, sizeof(Message));
    if (message == NULL) return NULL;
    RtlZeroMemory(message, sizeof *message);
    message->kind = kind;
    message->device = device;
    message->file = (ULONG64)(ULONG_PTR)file;
    message->irp = irp;
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
    RemoveEntryList(&message->entry);
    if (message->sent && g_host != NULL) {
        message->kind = SKYHELM_HOST_CANCEL;
        message->irp = NULL;
        message->sent = FALSE;
        InsertTailList(&g_outbox, &message->entry);
        Dispatch(&finished);
    } else {
        ExFreePool(message);
    }
    KeReleaseSpinLock(&g_lock, irql);
    FinishAll(&finished);
    Complete(irp, STATUS_CANCELLED, 0);
}

/* Queues a request for the host; STATUS_PENDING, or the status it failed with at once. */
static NTSTATUS Forward(ULONG kind, Extension *device, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    Message *message = NewMessage(kind, device, file, irp);
    Finished finished;
    KIRQL irql;
    if (message == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    InitializeListHead(&finished.irps);
    KeAcquireSpinLock(&g_lock, &irql);
    if (g_host == NULL || (device != NULL && device->removed)) {
        KeReleaseSpinLock(&g_lock, irql);
        ExFreePool(message);
        return Complete(irp, kind == SKYHELM_HOST_CREATE ? STATUS_NO_SUCH_DEVICE
                                                          : STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    message->tag = g_next_tag++;
    irp->Tail.Overlay.DriverContext[0] = message;
    IoSetCancelRoutine(irp, CancelForwarded);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        KeReleaseSpinLock(&g_lock, irql);
        ExFreePool(message);
        return Complete(irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(irp);
    InsertTailList(&g_outbox, &message->entry);
    Dispatch(&finished);
    KeReleaseSpinLock(&g_lock, irql);
    FinishAll(&finished);
    return STATUS_PENDING;
}

/* A notice for the host (close, removal); dropped when no host serves. Lock held. */
static void Notify(ULONG kind, Extension *device, PFILE_OBJECT file, Finished *finished) {
    Message *message;
    if (g_host == NULL) return;
    message = NewMessage(kind, device, file, NULL);
    if (message == NULL) return;
    message->tag = g_next_tag++;
    InsertTailList(&g_outbox, &message->entry);
    Dispatch(finished);
}

/* Fails every held or queued request that matches (all when device and file are null) with
 * status; notices for the host go too when everything is failed. Lock held. */
static void FailForwarded(Extension *device, PFILE_OBJECT file, BOOLEAN all, NTSTATUS status,
                          Finished *finished) {
    LIST_ENTRY *lists[2] = {&g_outbox, &g_held};
    int i;
    for (i = 0; i < 2; ++i) {
        PLIST_ENTRY entry = lists[i]->Flink;
        while (entry != lists[i]) {
            Message *message = CONTAINING_RECORD(entry, Message, entry);
            entry = entry->Flink;
            if (!all && message->device != device) continue;
            if (!all && file != NULL && message->file != (ULONG64)(ULONG_PTR)file) continue;
            if (message->irp == NULL) {
                if (all) {
                    RemoveEntryList(&message->entry);
                    ExFreePool(message);
                }
                continue;
            }
            if (IoSetCancelRoutine(message->irp, NULL) == NULL) continue;  /* being cancelled */
            RemoveEntryList(&message->entry);
            FinishLater(finished, message->irp, status, 0);
            if (message->sent && !all) {
                /* The host holds it: tell it, as for a cancel. */
                message->kind = SKYHELM_HOST_CANCEL;
                message->irp = NULL;
                message->sent = FALSE;
                InsertTailList(&g_outbox, &message->entry);
            } else {
                ExFreePool(message);
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
    BOOLEAN serving;
    KIRQL irql;
    KeWaitForSingleObject(&g_devices_mutex, Executive, KernelMode, FALSE, NULL);
    KeAcquireSpinLock(&g_lock, &irql);
    serving = g_host != NULL;
    KeReleaseSpinLock(&g_lock, irql);
    for (entry = g_controllers.Flink; entry != &g_controllers; entry = entry->Flink) {
        Extension *device = CONTAINING_RECORD(entry, Extension, devices);
        SetInterface(device, serving && device->started && !device->removed);
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

/* The host's answer: {tag, NTSTATUS, bytes, output}. */
static NTSTATUS Answer(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG size = stack->Parameters.DeviceIoControl.InputBufferLength;
    const SkyhelmHostAnswer *answer = (const SkyhelmHostAnswer *)irp->AssociatedIrp.SystemBuffer;
    PLIST_ENTRY entry;
    Message *found = NULL;
    KIRQL irql;
    if (answer == NULL || size < sizeof(SkyhelmHostAnswer) ||
        size - sizeof(SkyhelmHostAnswer) < answer->bytes) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    KeAcquireSpinLock(&g_lock, &irql);
    for (entry = g_held.Flink; entry != &g_held; entry = entry->Flink) {
        Message *message = CONTAINING_RECORD(entry, Message, entry);
        if (message->tag == answer->tag) {
            if (IoSetCancelRoutine(message->irp, NULL) != NULL) {
                RemoveEntryList(&message->entry);
                found = message;
            }
            break;
        }
    }
    KeReleaseSpinLock(&g_lock, irql);
    if (found == NULL) return Complete(irp, STATUS_NOT_FOUND, 0);
    {
        PIRP forwarded = found->irp;
        PIO_STACK_LOCATION fstack = IoGetCurrentIrpStackLocation(forwarded);
        ULONG capacity = 0, bytes = answer->bytes;
        if (found->kind == SKYHELM_HOST_CONTROL) {
            capacity = fstack->Parameters.DeviceIoControl.OutputBufferLength;
        } else if (found->kind == SKYHELM_HOST_READ) {
            capacity = fstack->Parameters.Read.Length;
        }
        if (bytes > capacity) bytes = capacity;
        if (bytes > 0 && forwarded->AssociatedIrp.SystemBuffer != NULL) {
            RtlCopyMemory(forwarded->AssociatedIrp.SystemBuffer, answer + 1, bytes);
        } else {
            bytes = 0;
        }
        ExFreePool(found);
        Complete(forwarded, (NTSTATUS)answer->status, NT_SUCCESS(answer->status) ? bytes : 0);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS HostControl(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Finished finished;
    KIRQL irql;
    InitializeListHead(&finished.irps);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SKYHELM_HOST_SERVE: {
        NTSTATUS status = STATUS_SUCCESS;
        KeAcquireSpinLock(&g_lock, &irql);
        if (g_host != NULL && g_host != stack->FileObject) status = STATUS_DEVICE_BUSY;
        else g_host = stack->FileObject;
        KeReleaseSpinLock(&g_lock, irql);
        if (NT_SUCCESS(status)) UpdateInterfaces();
        return Complete(irp, status, 0);
    }
    case IOCTL_SKYHELM_HOST_NEXT:
        KeAcquireSpinLock(&g_lock, &irql);
        if (g_host != stack->FileObject) {
            KeReleaseSpinLock(&g_lock, irql);
            return Complete(irp, STATUS_ACCESS_DENIED, 0);
        }
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
    InitializeListHead(&finished.irps);
    KeAcquireSpinLock(&g_lock, &irql);
    was_host = g_host == file;
    if (was_host) {
        FailForwarded(NULL, NULL, TRUE, STATUS_DEVICE_NOT_CONNECTED, &finished);
        g_host = NULL;
    }
    {
        /* Only this handle's "next" requests end; another handle's close leaves the host be. */
        PLIST_ENTRY entry = g_next.Flink;
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
    }
    KeReleaseSpinLock(&g_lock, irql);
    FinishAll(&finished);
    if (was_host) UpdateInterfaces();
}

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    Extension *ext = (Extension *)device->DeviceExtension;
    if (ext->role == kRoleHost) return Complete(irp, STATUS_SUCCESS, 0);
    return Forward(SKYHELM_HOST_CREATE, ext->role == kRoleController ? ext : NULL, irp);
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
    FailForwarded(ext->role == kRoleController ? ext : NULL, file, FALSE, STATUS_CANCELLED,
                  &finished);
    Dispatch(&finished);
    KeReleaseSpinLock(&g_lock, irql);
    FinishAll(&finished);
}

static NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    FileGone((Extension *)device->DeviceExtension, IoGetCurrentIrpStackLocation(irp)->FileObject);
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    Extension *ext = (Extension *)device->DeviceExtension;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    FileGone(ext, file);
    if (ext->role != kRoleHost) {
        Finished finished;
        KIRQL irql;
        InitializeListHead(&finished.irps);
        KeAcquireSpinLock(&g_lock, &irql);
        Notify(SKYHELM_HOST_CLOSE, ext->role == kRoleController ? ext : NULL, file, &finished);
        KeReleaseSpinLock(&g_lock, irql);
        FinishAll(&finished);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    Extension *ext = (Extension *)device->DeviceExtension;
    if (ext->role == kRoleHost) return HostControl(irp);
    return Forward(SKYHELM_HOST_CONTROL, ext->role == kRoleController ? ext : NULL, irp);
}

static NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    Extension *ext = (Extension *)device->DeviceExtension;
    if (ext->role == kRoleHost) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return Forward(SKYHELM_HOST_READ, ext->role == kRoleController ? ext : NULL, irp);
}

/* Removal of a controller: its requests fail as a removal, the host hears of it, and the
 * interface goes. */
static void ControllerGone(Extension *ext) {
    Finished finished;
    KIRQL irql;
    InitializeListHead(&finished.irps);
    KeWaitForSingleObject(&g_devices_mutex, Executive, KernelMode, FALSE, NULL);
    SetInterface(ext, FALSE);
    KeReleaseMutex(&g_devices_mutex, FALSE);
    KeAcquireSpinLock(&g_lock, &irql);
    if (!ext->removed) {
        ext->removed = TRUE;
        FailForwarded(ext, NULL, FALSE, STATUS_DEVICE_NOT_CONNECTED, &finished);
        Notify(SKYHELM_HOST_REMOVED, ext, NULL, &finished);
    }
    KeReleaseSpinLock(&g_lock, irql);
    FinishAll(&finished);
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    Extension *ext = (Extension *)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT lower = ext->lower;
    NTSTATUS status;
    if (ext->role != kRoleController) return Complete(irp, STATUS_NOT_SUPPORTED, 0);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        ext->started = TRUE;
        UpdateInterfaces();
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
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
        /* Handles still open on the device are dead from here on: under Wine their closes
         * never reach this driver, so the host ends their connections on the removal notice. */
        ControllerGone(ext);
        KeWaitForSingleObject(&g_devices_mutex, Executive, KernelMode, FALSE, NULL);
        RemoveEntryList(&ext->devices);
        KeReleaseMutex(&g_devices_mutex, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        RtlFreeUnicodeString(&ext->link);
        IoDeleteDevice(device);
        return status;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
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
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    ext = (Extension *)fdo->DeviceExtension;
    RtlZeroMemory(ext, sizeof *ext);
    ext->role = kRoleController;
    ext->self = fdo;
    status = IoRegisterDeviceInterface(pdo, &kControllerInterface, NULL, &ext->link);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (ext->lower == NULL) {
        RtlFreeUnicodeString(&ext->link);
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    KeWaitForSingleObject(&g_devices_mutex, Executive, KernelMode, FALSE, NULL);
    InsertTailList(&g_controllers, &ext->devices);
    KeReleaseMutex(&g_devices_mutex, FALSE);
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static NTSTATUS CreateNamedDevice(PDRIVER_OBJECT driver, const WCHAR *name, const WCHAR *link,
                                  ULONG role, PDEVICE_OBJECT *out) {
    UNICODE_STRING device_name, link_name;
    PDEVICE_OBJECT device;
    Extension *ext;
    NTSTATUS status;
    RtlInitUnicodeString(&device_name, name);
    RtlInitUnicodeString(&link_name, link);
    status = IoCreateDevice(driver, sizeof(Extension), &device_name, FILE_DEVICE_UNKNOWN, 0,
                            FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    ext = (Extension *)device->DeviceExtension;
    RtlZeroMemory(ext, sizeof *ext);
    ext->role = role;
    ext->self = device;
    status = IoCreateSymbolicLink(&link_name, &device_name);
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

static VOID NTAPI Unload(PDRIVER_OBJECT driver) {
    (void)driver;
    DeleteNamedDevice(g_legacy_device, kLegacyLinkName);
    DeleteNamedDevice(g_host_device, kHostLinkName);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    NTSTATUS status;
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
    status = CreateNamedDevice(driver, kHostDeviceName, kHostLinkName, kRoleHost, &g_host_device);
    if (!NT_SUCCESS(status)) return status;
    status = CreateNamedDevice(driver, kLegacyDeviceName, kLegacyLinkName, kRoleLegacy,
                               &g_legacy_device);
    if (!NT_SUCCESS(status)) {
        DeleteNamedDevice(g_host_device, kHostLinkName);
        return status;
    }
    return STATUS_SUCCESS;
}
