// A bridge from Windows' ATA pass-through to a real disk, for Wine.
//
// The bridge takes over "\??\PhysicalDrive0" and carries each
// IOCTL_ATA_PASS_THROUGH request it gets to the machine's first disk
// ("\??\Z:\dev\sda", which Wine opens as the Linux block device) as an
// ATA PASS-THROUGH (16) command through IOCTL_SCSI_PASS_THROUGH, which Wine
// sends as Linux SG_IO. It writes the data and the returned registers back as
// Windows' storage stack does (a command the drive aborted completes as a
// success, with ERR in the returned status), and fails a request that the
// disk does not take: STATUS_NOT_SUPPORTED (ERROR_NOT_SUPPORTED, 50) when the
// disk refuses the command block itself, STATUS_IO_DEVICE_ERROR (1117) when
// the command did not complete. The translation is the Linux port's own (sat_translation).
#include <ntddk.h>
#include <ntddscsi.h>

#include "sat/sat_translation.h"

namespace {

constexpr ULONG kSenseSize = 32;
constexpr ULONG kPoolTag = 0x42617441;  // "AtaB"

HANDLE disk_handle;

NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR returned) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = returned;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The SCSI request as one buffered block: the header, the sense bytes, then
// the data.
struct ScsiRequest {
  SCSI_PASS_THROUGH header;
  UCHAR sense[kSenseSize];
  UCHAR data[1];
};

NTSTATUS PassThrough(UCHAR* buffer, ULONG input_length, ULONG output_length,
                     ULONG_PTR* returned) {
  ATA_PASS_THROUGH_EX* ata = reinterpret_cast<ATA_PASS_THROUGH_EX*>(buffer);
  if (input_length < sizeof *ata || ata->Length != sizeof *ata) {
    return STATUS_INVALID_PARAMETER;
  }
  bool data_in = (ata->AtaFlags & ATA_FLAGS_DATA_IN) != 0;
  bool data_out = (ata->AtaFlags & ATA_FLAGS_DATA_OUT) != 0;
  ULONG length = (data_in || data_out) ? ata->DataTransferLength : 0;
  // The translation refuses both directions at once and lengths that are
  // not whole blocks; what is left to check is that the data lies in the
  // buffer.
  UCHAR cdb[kAtaPassThrough16Size];
  if (!BuildAtaPassThrough16(ata->AtaFlags, length, ata->PreviousTaskFile,
                             ata->CurrentTaskFile, cdb)) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG_PTR limit = data_in ? output_length : input_length;
  if (length != 0 && (ata->DataBufferOffset < sizeof *ata ||
                      ata->DataBufferOffset > limit ||
                      length > limit - ata->DataBufferOffset)) {
    return STATUS_INVALID_PARAMETER;
  }

  SIZE_T size = FIELD_OFFSET(ScsiRequest, data) + length;
  ScsiRequest* request = static_cast<ScsiRequest*>(
      ExAllocatePoolWithTag(NonPagedPool, size, kPoolTag));
  if (request == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(request, size);
  SCSI_PASS_THROUGH* scsi = &request->header;
  scsi->Length = sizeof *scsi;
  scsi->CdbLength = 16;
  scsi->SenseInfoLength = kSenseSize;
  scsi->SenseInfoOffset = FIELD_OFFSET(ScsiRequest, sense);
  scsi->DataIn = data_in    ? SCSI_IOCTL_DATA_IN
                 : data_out ? SCSI_IOCTL_DATA_OUT
                            : SCSI_IOCTL_DATA_UNSPECIFIED;
  scsi->DataTransferLength = length;
  scsi->DataBufferOffset = FIELD_OFFSET(ScsiRequest, data);
  scsi->TimeOutValue = ata->TimeOutValue;
  RtlCopyMemory(scsi->Cdb, cdb, sizeof cdb);
  if (data_out) RtlCopyMemory(request->data, buffer + ata->DataBufferOffset, length);

  IO_STATUS_BLOCK io;
  NTSTATUS status = ZwDeviceIoControlFile(disk_handle, nullptr, nullptr, nullptr, &io,
                                          IOCTL_SCSI_PASS_THROUGH, request, size,
                                          request, size);
  if (NT_SUCCESS(status)) {
    ULONG sense_length = scsi->SenseInfoLength;
    if (sense_length > kSenseSize) sense_length = kSenseSize;
    switch (ReadSatCompletion(scsi->ScsiStatus, request->sense,
                              static_cast<int>(sense_length), ata->PreviousTaskFile,
                              ata->CurrentTaskFile)) {
      case kSatCompleted: {
        // As Windows' port driver: DataTransferLength becomes what the disk
        // moved (Wine's SCSI pass-through reports it from SG_IO's residual),
        // and only what was read comes back.
        ULONG moved = scsi->DataTransferLength < length ? scsi->DataTransferLength : length;
        if (data_in) RtlCopyMemory(buffer + ata->DataBufferOffset, request->data, moved);
        if (data_in || data_out) ata->DataTransferLength = moved;
        *returned = data_in ? ata->DataBufferOffset + moved : sizeof *ata;
        break;
      }
      case kSatNotAtaPassThrough:
        status = STATUS_NOT_SUPPORTED;
        break;
      default:
        status = STATUS_IO_DEVICE_ERROR;
        break;
    }
  }
  ExFreePoolWithTag(request, kPoolTag);
  return status;
}

NTSTATUS NTAPI DispatchDeviceControl(DEVICE_OBJECT*, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  ULONG_PTR returned = 0;
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_ATA_PASS_THROUGH) {
    status = PassThrough(static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer),
                         stack->Parameters.DeviceIoControl.InputBufferLength,
                         stack->Parameters.DeviceIoControl.OutputBufferLength, &returned);
  }
  return Complete(irp, status, returned);
}

NTSTATUS NTAPI DispatchOpenClose(DEVICE_OBJECT*, IRP* irp) {
  return Complete(irp, STATUS_SUCCESS, 0);
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING*) {
  UNICODE_STRING disk_name, device_name, link_name;
  RtlInitUnicodeString(&disk_name, L"\\??\\Z:\\dev\\sda");
  RtlInitUnicodeString(&device_name, L"\\Device\\AtaBridgeDisk");
  RtlInitUnicodeString(&link_name, L"\\??\\PhysicalDrive0");

  // Without a first disk there is nothing to bridge: the start fails.
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &disk_name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  IO_STATUS_BLOCK io;
  NTSTATUS status = ZwCreateFile(&disk_handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE,
                                 &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                 FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (!NT_SUCCESS(status)) return status;

  driver->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchOpenClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DEVICE_OBJECT* device;
  status = IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_DISK, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  // Wine's mount manager has its own PhysicalDrive0 link: it must go first.
  IoDeleteSymbolicLink(&link_name);
  return IoCreateSymbolicLink(&link_name, &device_name);
}
