# The emulated SCSI devices of the guest test: their QEMU parameters, and the bytes and values those parameters make each device answer with.
"""As a script: `disks.py qemu-args IMAGE_DIR` prints the QEMU arguments one per line, `images`
the image files with their sizes, `cmdline` the guest's kernel arguments.

Everything expected of lunscan is worked out here from the parameters alone, the way QEMU's
scsi-disk builds its answers: vendor and product space-padded to 8 and 16 bytes, the revision
zero-padded to 4, nothing in the standard INQUIRY data after byte 35, the serial in VPD page 0x80,
and page 0x83 made of an ASCII vendor-specific designator holding the device id (the serial cut to
20 characters unless `device_id` is given), an 8-byte NAA designator holding `wwn`, and a relative
target port designator when `port_index` is set.
"""
import os
import sys
from dataclasses import dataclass, field
from typing import Optional

KIB, MIB, GIB, TIB = 1 << 10, 1 << 20, 1 << 30, 1 << 40

# The adapters, in the order the guest loads their drivers; the driver names are what sysfs
# calls each adapter's host (proc_name).
CONTROLLERS = {
    "scsi0": ("virtio-scsi-pci", "virtio_scsi"),
    "scsi1": ("lsi53c895a", "sym53c8xx"),
}

MPATH_NAME = "mpdisk"


def korvalith_wwn(page):
    """The 16-byte device WWN lunscan takes from page 0x83 of a Korvalith device: bytes 8-23
    when the page length byte is 20 or 28 (the array's own page forms), otherwise bytes 4-19;
    the page is read into a zero-filled buffer."""
    page = page + bytes(64)
    start = 8 if page[3] in (20, 28) else 4
    return page[start:start + 16]


def wwn_cell(korvalith, page):
    # Of these disks only the Korvalith ones are of a make whose WWN the -wwn table shows.
    return korvalith_wwn(page).hex() if korvalith else "N/A"


@dataclass
class Disk:
    key: str            # the test's own name of the disk, used in messages
    bus: str            # controller id in CONTROLLERS
    target: int
    lun: int
    vendor: str         # at most 8 characters
    product: str        # at most 16
    ver: str            # at most 4
    serial: str         # at most 36
    wwn: int            # 64-bit NAA identifier
    size: int           # bytes
    block: int = 512
    image: str = ""     # file name; disks sharing one are two paths to one logical unit
    device_id: Optional[str] = None
    port_index: int = 0
    extra: list = field(default_factory=list)

    @property
    def image_name(self):
        return self.image or f"{self.key}.img"

    # --- What the disk answers -------------------------------------------------------------

    def inquiry_vendor(self):
        return self.vendor.ljust(8)

    def inquiry_product(self):
        return self.product.ljust(16)

    def inquiry_revision(self):
        # Copied without padding into four zeroed bytes.
        return self.ver[:4]

    def inquiry_serial_field(self):
        # Bytes 36-43 of the standard data: QEMU leaves them zero.
        return ""

    def unit_serial(self):
        return self.serial

    def blocks(self):
        return self.size // self.block

    def capacity_kb(self):
        return self.blocks() * self.block >> 10

    def designator_id(self):
        return self.serial[:20] if self.device_id is None else self.device_id

    def page83(self):
        body = b""
        ident = self.designator_id().encode()
        if ident:
            body += bytes([0x02, 0x00, 0x00, len(ident)]) + ident
        body += bytes([0x01, 0x03, 0x00, 0x08]) + self.wwn.to_bytes(8, "big")
        if self.port_index:
            body += bytes([0x61, 0x94, 0x00, 0x04, 0x00, 0x00]) + self.port_index.to_bytes(2, "big")
        return bytes([0x00, 0x83, 0x00, len(body)]) + body

    def is_korvalith(self):
        # lunscan's high-end test: vendor "XMV", not "XMVNSR", product not "LUNZ" nor "Vantrel".
        return (self.vendor.startswith("XMV") and not self.vendor.startswith("XMVNSR")
                and not self.product.startswith(("LUNZ", "Vantrel")))

    def wwn_cell(self):
        return wwn_cell(self.is_korvalith(), self.page83())

    # --- QEMU ----------------------------------------------------------------------------

    def node(self):
        return f"node-{self.image_name.split('.')[0]}"

    def qemu_args(self):
        node = self.node()
        props = [f"scsi-hd,bus={self.bus}.0", f"drive={node}", f"id=dev-{self.key}",
                 f"vendor={self.vendor}", f"product={self.product}", f"ver={self.ver}",
                 f"serial={self.serial}", f"wwn=0x{self.wwn:016x}",
                 f"logical_block_size={self.block}", f"physical_block_size={self.block}"]
        props += [f"channel=0,scsi-id={self.target},lun={self.lun}"]
        if self.device_id is not None:
            props.append(f"device_id={self.device_id}")
        if self.port_index:
            props.append(f"port_index={self.port_index}")
        props += self.extra
        return ["-device", ",".join(props)]


DISKS = [
    # Two LUNs on one target: a plain disk and a LUN of the maker's high-end array. The array LUN
    # is seen on both adapters (one image, one serial and WWN), the two paths a multipath map
    # joins; its page 0x83 has the array's 20-byte length (no ASCII designator, a port designator).
    Disk("acme", "scsi0", 0, 0, "ACME", "DATA DISK", "A010", "DRV00001", 0x50B7D21000000001, 64 * MIB),
    Disk("korv-a", "scsi0", 0, 1, "XMV", "KORVALITH", "5568", "DRV00002", 0x50B7D21000000002, 96 * MIB,
         image="korv.img", device_id="", port_index=1, extra=["share-rw=on"]),
    # Larger than 2 TiB: READ CAPACITY(10) cannot say its size.
    Disk("big", "scsi0", 1, 0, "OTHERCO", "BIGDISK 3T", "0102", "DRV00003", 0x50B7D21000000003,
         3 * TIB + 512 * MIB),
    Disk("4k", "scsi1", 0, 0, "ACME", "FASTDISK 4K", "B200", "DRV00004", 0x50B7D21000000004, 256 * MIB,
         block=4096),
    # Every text at its longest; a size that is not a whole number of KB.
    Disk("long", "scsi1", 1, 0, "LONGVEND", "PRODUCT16CHARSXY", "WXYZ",
         "DRV00005ABCDEFGHIJKLMNOPQRSTUVWXYZ01", 0x50B7D21000000005, 3 * GIB + 1536),
    Disk("korv-b", "scsi1", 2, 0, "XMV", "KORVALITH", "5568", "DRV00002", 0x50B7D21000000002, 96 * MIB,
         image="korv.img", device_id="", port_index=1, extra=["share-rw=on"]),
]

# The two paths of the multipath map. lunscan relates a pseudo device and its paths by what the
# devices say of themselves; for the high-end array that is the array serial and volume number,
# which QEMU leaves zero for every XMV disk, so the guest has no other array LUN.
MPATH_PATHS = ("korv-a", "korv-b")

# The CD-ROM: on the virtio adapter, target 2, no medium.
CDROM = ("scsi0", 2, 0)


def mpath_wwid():
    return f"naa.{next(d.wwn for d in DISKS if d.key == MPATH_PATHS[0]):016x}"


def images():
    """Each image file once, with its size."""
    seen = {}
    for d in DISKS:
        seen.setdefault(d.image_name, d.size)
    return seen


def qemu_args(image_dir):
    args = []
    for cid, (model, _driver) in CONTROLLERS.items():
        args += ["-device", f"{model},id={cid}"]
    for name in images():
        node = f"node-{name.split('.')[0]}"  # as Disk.node()
        args += ["-blockdev",
                 f"driver=raw,node-name={node},file.driver=file,file.filename={os.path.join(image_dir, name)}"]
    for d in DISKS:
        args += d.qemu_args()
    bus, target, lun = CDROM
    args += ["-drive", "if=none,id=cd0,media=cdrom,readonly=on",
             "-device", f"scsi-cd,bus={bus}.0,drive=cd0,channel=0,scsi-id={target},lun={lun}"]
    return args


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "qemu-args":
        print("\n".join(qemu_args(sys.argv[2])))
    elif len(sys.argv) == 2 and sys.argv[1] == "images":
        for name, size in images().items():
            print(name, size)
    elif len(sys.argv) == 2 and sys.argv[1] == "cmdline":
        print(f"guest_disks={len(DISKS)} guest_cds=1 guest_mpath={MPATH_NAME} guest_mpath_wwid={mpath_wwid()}")
    else:
        sys.exit("usage: disks.py qemu-args IMAGE_DIR | images | cmdline")
