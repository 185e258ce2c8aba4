/* A simulated ATA disk for the Wine end-to-end tests.

   The disk device takes over "\??\PhysicalDrive0" and answers
   IOCTL_ATA_PASS_THROUGH with the IDENTIFY block the test set, completed the
   way the test chose (see AtaTestCompletion), or fails the request with the
   NTSTATUS the test set, and records what it was sent. The test reaches it through a second device,
   "\??\AtaTestControl", with two private controls: setup and record. */
#include <ntddk.h>

#include "ata_test_drive.h"

#define IOCTL_ATA_PASS_THROUGH_CODE 0x0004D02Cu

static DEVICE_OBJECT *control_device;
static AtaTestSetup current_setup;
static AtaTestRecord last_record;

static NTSTATUS Complete(IRP *irp, NTSTATUS status, ULONG_PTR returned) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = returned;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static void RecordRequest(ULONG code, const UCHAR *buffer, ULONG input_length,
                          ULONG output_length) {
  ULONG i;
  last_record.request_count++;
  last_record.control_code = code;
  last_record.input_length = input_length;
  last_record.output_length = output_length;
  for (i = 0; i < ATA_TEST_RECORDED_BYTES; i++) {
    last_record.header[i] = i < input_length ? buffer[i] : 0;
  }
  last_record.data_area_zero = 1;
  for (i = ATA_TEST_HEADER_SIZE; i < input_length; i++) {
    if (buffer[i] != 0) last_record.data_area_zero = 0;
  }
}

/* Answers in the (buffered) system buffer; sets how many bytes go back, which
   is all the I/O manager copies to the caller. */
static NTSTATUS AnswerPassThrough(UCHAR *buffer, ULONG input_length,
                                  ULONG output_length, ULONG_PTR *returned) {
  ULONG_PTR data_offset;
  ULONG *data_transfer_length;
  UCHAR *task_file;
  ULONG i;
  *returned = 0;
  if (current_setup.completion_status != 0) return current_setup.completion_status;
  if (input_length < ATA_TEST_HEADER_SIZE || output_length < ATA_TEST_HEADER_SIZE) {
    return STATUS_INVALID_PARAMETER;
  }
  *returned = ATA_TEST_HEADER_SIZE;
  if (current_setup.completion == ATA_TEST_NO_DATA) return STATUS_SUCCESS;
  data_transfer_length = (ULONG *)(buffer + ATA_TEST_DATA_TRANSFER_LENGTH_POSITION);
  task_file = buffer + ATA_TEST_HEADER_SIZE - 8; /* CurrentTaskFile */
  if (current_setup.completion == ATA_TEST_ABORTED) {
    *data_transfer_length = 0;
    task_file[0] = 0x04; /* error: ABRT */
    task_file[6] = 0x51; /* status: DRDY, DSC, ERR */
    return STATUS_SUCCESS;
  }
  data_offset = *(const ULONG_PTR *)(buffer + ATA_TEST_DATA_BUFFER_OFFSET_POSITION);
  if (data_offset < ATA_TEST_HEADER_SIZE ||
      data_offset + ATA_TEST_IDENTIFY_SIZE > output_length) {
    *returned = 0;
    return STATUS_INVALID_PARAMETER;
  }
  for (i = 0; i < ATA_TEST_IDENTIFY_SIZE; i++) {
    buffer[data_offset + i] = current_setup.identify[i];
  }
  *data_transfer_length = ATA_TEST_IDENTIFY_SIZE;
  if (current_setup.completion == ATA_TEST_DATA_AND_REGISTERS) {
    task_file[0] = 0x00; /* error */
    task_file[6] = 0x50; /* status: DRDY, DSC */
  } else if (current_setup.completion == ATA_TEST_STALE_ERROR) {
    task_file[0] = 0x04; /* error: ABRT */
    task_file[6] = 0x51; /* status: DRDY, DSC, ERR */
  }
  *returned = data_offset + ATA_TEST_IDENTIFY_SIZE;
  return STATUS_SUCCESS;
}

static NTSTATUS HandleControl(IRP *irp, ULONG code, UCHAR *buffer, ULONG input_length,
                              ULONG output_length) {
  if (code == IOCTL_ATA_TEST_SETUP && input_length == sizeof(AtaTestSetup)) {
    RtlCopyMemory(&current_setup, buffer, sizeof(AtaTestSetup));
    RtlZeroMemory(&last_record, sizeof(AtaTestRecord));
    return Complete(irp, STATUS_SUCCESS, 0);
  }
  if (code == IOCTL_ATA_TEST_RECORD && output_length >= sizeof(AtaTestRecord)) {
    RtlCopyMemory(buffer, &last_record, sizeof(AtaTestRecord));
    return Complete(irp, STATUS_SUCCESS, sizeof(AtaTestRecord));
  }
  return Complete(irp, STATUS_INVALID_PARAMETER, 0);
}

static NTSTATUS NTAPI DispatchDeviceControl(DEVICE_OBJECT *device, IRP *irp) {
  IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG output_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR *buffer = irp->AssociatedIrp.SystemBuffer;
  ULONG_PTR returned = 0;
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;

  if (device == control_device) {
    return HandleControl(irp, code, buffer, input_length, output_length);
  }
  RecordRequest(code, buffer, input_length, output_length);
  if (code == IOCTL_ATA_PASS_THROUGH_CODE) {
    status = AnswerPassThrough(buffer, input_length, output_length, &returned);
  }
  return Complete(irp, status, returned);
}

static NTSTATUS NTAPI DispatchCreate(DEVICE_OBJECT *device, IRP *irp) {
  if (device != control_device) {
    last_record.open_count++;
    last_record.share_access =
        IoGetCurrentIrpStackLocation(irp)->Parameters.Create.ShareAccess;
  }
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchClose(DEVICE_OBJECT *device, IRP *irp) {
  (void)device;
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS CreateDeviceWithLink(DRIVER_OBJECT *driver, const WCHAR *device_path,
                                     const WCHAR *link_path, DEVICE_TYPE type,
                                     DEVICE_OBJECT **device) {
  UNICODE_STRING device_name, link_name;
  NTSTATUS status;
  RtlInitUnicodeString(&device_name, device_path);
  RtlInitUnicodeString(&link_name, link_path);
  status = IoCreateDevice(driver, 0, &device_name, type, 0, FALSE, device);
  if (!NT_SUCCESS(status)) return status;
  /* Wine's mount manager has its own PhysicalDrive0 link: it must go first. */
  IoDeleteSymbolicLink(&link_name);
  return IoCreateSymbolicLink(&link_name, &device_name);
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry_path) {
  DEVICE_OBJECT *disk_device;
  NTSTATUS status;
  (void)registry_path;

  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;

  status = CreateDeviceWithLink(driver, L"\\Device\\AtaTestControl",
                                L"\\??\\AtaTestControl", FILE_DEVICE_UNKNOWN,
                                &control_device);
  if (!NT_SUCCESS(status)) return status;
  return CreateDeviceWithLink(driver, L"\\Device\\AtaTestDisk", L"\\??\\PhysicalDrive0",
                              FILE_DEVICE_DISK, &disk_device);
}
