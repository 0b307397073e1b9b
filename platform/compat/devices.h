// Device setup, configuration manager and HID class declarations.
#pragma once

#include "win_types.h"

typedef PVOID HDEVINFO;
typedef DWORD DEVINST;
typedef DEVINST *PDEVINST;
typedef DWORD CONFIGRET;
typedef USHORT USAGE;

#define DIGCF_PRESENT 0x00000002u
#define DIGCF_DEVICEINTERFACE 0x00000010u
#define CR_SUCCESS 0x00000000u
#define CR_FAILURE 0x00000013u
#define CR_NO_SUCH_DEVNODE 0x0000000Du
#define CR_BUFFER_SMALL 0x0000001Au
#define MAX_DEVICE_ID_LEN 200
#define HIDP_STATUS_SUCCESS (static_cast<NTSTATUS>(0x00110000))
#define HIDP_STATUS_INVALID_PREPARSED_DATA (static_cast<NTSTATUS>(0xC0110001u))

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
typedef SP_DEVINFO_DATA *PSP_DEVINFO_DATA;

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
typedef SP_DEVICE_INTERFACE_DATA *PSP_DEVICE_INTERFACE_DATA;

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
};
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_A *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

struct HIDP_PREPARSED_DATA_;
typedef HIDP_PREPARSED_DATA_ *PHIDP_PREPARSED_DATA;

struct HIDP_CAPS {
    USAGE Usage;
    USAGE UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
};
typedef HIDP_CAPS *PHIDP_CAPS;
