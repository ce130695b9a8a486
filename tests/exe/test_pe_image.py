"""Checks of the built Quillmoor.Installer.exe as a file: headers, imports and resources."""
import math
import struct
import xml.etree.ElementTree as ET

import pefile

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
EN_US = 1033
ICON_SIZES = [16, 20, 24, 32, 40, 48, 64, 256]

# Known DLLs: the loader maps these from the system's own list and never searches the
# executable's folder for them. Any other DLL is loaded at run time from the system folder.
# The static runtime means no compiler runtime DLL may appear.
KNOWN_DLLS = {"advapi32.dll", "combase.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll",
              "ole32.dll", "oleaut32.dll", "rpcrt4.dll", "sechost.dll", "shell32.dll",
              "shlwapi.dll", "user32.dll", "ws2_32.dll"}


def resources(pe):
    """{(type, id, language): bytes} for every resource in the image."""
    found = {}
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for rid in rtype.directory.entries:
            for lang in rid.directory.entries:
                data = lang.data.struct
                found[(rtype.id, rid.id, lang.id)] = pe.get_data(data.OffsetToData, data.Size)
    return found


def icon_image_bytes(n):
    return 40 + 4 * n * n + n * 4 * math.ceil(n / 32)


def test_image_headers(pe):
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    assert fh.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]
    assert oh.Magic == 0x20B  # PE32+
    assert fh.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_LARGE_ADDRESS_AWARE"]
    assert fh.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_EXECUTABLE_IMAGE"]
    assert oh.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]
    assert (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion) == (6, 0)
    flags = pefile.DLL_CHARACTERISTICS
    for name in ("IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA",
                 "IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE", "IMAGE_DLLCHARACTERISTICS_NX_COMPAT"):
        assert oh.DllCharacteristics & flags[name], name


def test_imports_only_known_dlls(pe):
    imported = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    assert imported <= KNOWN_DLLS, imported - KNOWN_DLLS
    assert not hasattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT")


def test_exact_resource_set(pe):
    expected = {(RT_MANIFEST, 1, EN_US), (RT_GROUP_ICON, 128, EN_US), (RT_VERSION, 1, EN_US)}
    expected |= {(RT_ICON, i, EN_US) for i in range(1, 9)}
    assert set(resources(pe)) == expected


def test_icon_group_and_images(pe):
    res = resources(pe)
    group = res[(RT_GROUP_ICON, 128, EN_US)]
    reserved, kind, count = struct.unpack_from("<HHH", group)
    assert (reserved, kind, count) == (0, 1, 8)
    assert len(group) == 6 + 14 * count
    for index, size in enumerate(ICON_SIZES):
        width, height, colors, reserved, planes, bits, nbytes, icon_id = struct.unpack_from(
            "<BBBBHHIH", group, 6 + 14 * index)
        byte_size = 0 if size == 256 else size
        assert (width, height, colors, planes, bits, icon_id) == (
            byte_size, byte_size, 0, 1, 32, index + 1), size
        assert nbytes == icon_image_bytes(size), size

        image = res[(RT_ICON, index + 1, EN_US)]
        assert not image.startswith(b"\x89PNG"), f"{size} px is PNG"
        assert len(image) == icon_image_bytes(size), size
        header = struct.unpack_from("<IiiHHI", image)
        assert header == (40, size, 2 * size, 1, 32, 0), size  # BI_RGB, height doubled


def test_version_block(pe):
    fixed = pe.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == (0x00010000, 0x00000001)
    assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == (0x00010000, 0x00000001)
    assert (fixed.FileFlagsMask, fixed.FileFlags) == (0x3F, 0)
    assert (fixed.FileOS, fixed.FileType, fixed.FileSubtype) == (0x40004, 1, 0)
    assert (fixed.FileDateMS, fixed.FileDateLS) == (0, 0)

    string_tables = [t for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
                     for t in info.StringTable]
    assert [t.LangID.upper() for t in string_tables] == [b"040904B0"]
    entries = list(string_tables[0].entries.items())
    assert entries == [
        (b"CompanyName", b"Quillmoor"),
        (b"FileDescription", b"Lanternfold Installer"),
        (b"FileVersion", b"1.0.0.1"),
        (b"InternalName", b"Quillmoor.Installer.exe"),
        (b"LegalCopyright", b"Copyright (C) 2026 Quillmoor. All rights reserved."),
        (b"OriginalFilename", b"Quillmoor.Installer.exe"),
        (b"ProductName", b"Lanternfold Installer"),
        (b"ProductVersion", b"1.0.0.1"),
    ]

    var = [v for info in pe.FileInfo[0] if info.Key == b"VarFileInfo" for v in info.Var]
    assert [v.entry for v in var] == [{b"Translation": "0x0409 0x04b0"}]


ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
WS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
WS_2020 = "{http://schemas.microsoft.com/SMI/2020/WindowsSettings}"


def outline(element, path=""):
    """Every element as (path, attributes, text), so that nothing extra can hide."""
    here = f"{path}/{element.tag}"
    text = (element.text or "").strip()
    yield here, dict(element.attrib), text
    for child in element:
        yield from outline(child, here)


def test_application_manifest(pe):
    raw = resources(pe)[(RT_MANIFEST, 1, EN_US)]
    assert raw.startswith(b"\xef\xbb\xbf")
    text = raw[3:].decode("utf-8")
    assert text.startswith('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>')
    root = ET.fromstring(text)
    a, dep, trust, app = ASM_V1 + "assembly", ASM_V1 + "dependency", ASM_V3 + "trustInfo", \
        ASM_V3 + "application"
    identity = {"type": "win32", "name": "Microsoft.Windows.Common-Controls",
                "version": "6.0.0.0", "processorArchitecture": "amd64",
                "publicKeyToken": "6595b64144ccf1df", "language": "*"}
    settings = f"/{a}/{app}/{ASM_V3}windowsSettings"
    assert list(outline(root)) == [
        (f"/{a}", {"manifestVersion": "1.0"}, ""),
        (f"/{a}/{dep}", {}, ""),
        (f"/{a}/{dep}/{ASM_V1}dependentAssembly", {}, ""),
        (f"/{a}/{dep}/{ASM_V1}dependentAssembly/{ASM_V1}assemblyIdentity", identity, ""),
        (f"/{a}/{trust}", {}, ""),
        (f"/{a}/{trust}/{ASM_V3}security", {}, ""),
        (f"/{a}/{trust}/{ASM_V3}security/{ASM_V3}requestedPrivileges", {}, ""),
        (f"/{a}/{trust}/{ASM_V3}security/{ASM_V3}requestedPrivileges/"
         f"{ASM_V3}requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"}, ""),
        (f"/{a}/{app}", {}, ""),
        (settings, {}, ""),
        (f"{settings}/{WS_2005}dpiAware", {}, "true"),
        (f"{settings}/{WS_2020}heapType", {}, "SegmentHeap"),
    ]


def test_manifest_url_carries_the_configured_host(exe_path, download_host):
    url = f"https://{download_host}/downloads/Lanternfold-8.appinstaller"
    assert (url + "\0").encode("utf-16-le") in exe_path.read_bytes()
