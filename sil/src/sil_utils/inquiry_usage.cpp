// The two usage screens: the main one and the replication one, each line padded to its width.
#include <cstdio>
#include <string_view>

#include "inquiry.h"

namespace {

struct UsageLine {
    std::string_view text;
    int width = 79;  // the line is padded with blanks to this many characters
};

// The main screen; a final empty line follows the last one.
constexpr UsageLine kUsage[] = {
    {""},
    {"Usage: inquiry <options>"},
    {""},
    {"    display types:"},
    {"       -h               : display this help screen"},
    {"       -et              : display emulation and type info   (Korvalith only)"},
    {"       -ckd             : display CKD device info           (Korvalith only)"},
    {"       -page0           : display detailed page0 (only valid with -dev option)"},
    {"       -pagec0          : display detailed pagec0 (only valid with -dev option"},
    {"                          and on Dravonis devices)"},
    {"       -parent          : display both Strandway and OS device relationships"},
    {"       -vantrel         : display Vantrel lable devices"},
    {"       -sid             : display Korvalith Serial Number"},
    {"       -kor_wwn         : display Korvalith device wwn and Serial Number"},
    {"       -dravonis        : display Dravonis device information"},
    {"       -drav_wwn        : display Dravonis WWN and Serial Number"},
    {"       -showvol         : display Korvalith Volume Number."},
    {"       -compat          : display old format"},
    {"       -btl             : display Bus Target and Lun"},
    {"       -sw_wwn          : display StorageWorks WWN and Serial Id"},
    {"       -hds_wwn         : display HDS WWN and Serial Id"},
    {"       -s80_wwn         : display S80 WWN and Serial Id"},
    {"       -olvessa_wwn     : display Olvessa WWN and Serial Id"},
    {"       -shark_wwn       : display IBM Shark WWN and Serial Id"},
    {"       -compaq_wwn      : display Compaq WWN and Serial Id"},
    {"       -netapp_wwn      : display Netapp WWN and Serial Id"},
    {"       -hba             : display HBA info only. See options below"},
    {"       -identifier <device_name | nice_name | hp_id | vms_id>"},
    {"                        : display device identifier info (XMV devices only)"},
    {"       -mapinfo         : display target mapping information"},
    {"       -wwn             : display devices WWN"},
    {"       -winvol          : display only Windows volumes"},
    {""},
    {"    filter options:"},
    {"       -no_filters      : show every device even if no data available"},
    {"       -f_strandway     : filter -  only strandway devices"},
    {"       -f_pseudo        : filter -  only pseudo devices"},
    {"       -f_real          : filter -  only real devices"},
    {"       -f_xmv           : filter -  only XMV devices"},
    {"       -f_ckd           : filter -  only ckd devices"},
    {"       -f_vantrel       : filter -  only Vantrel devices"},
    {"       -f_4k            : filter -  only Korvalith volumes < 4096"},
    {"       -f_dravonis      : filter -  only Dravonis devices"},
    {"       -f_storwrks      : filter -  only Compaq StorageWorks devices"},
    {"       -f_hds           : filter -  only Hitachi HDS devices", 71},
    {"       -f_s80           : filter -  only Fujitsu Siemens S80 devices"},
    {"       -f_olvessa       : filter -  only XMV Olvessa devices"},
    {"       -f_shark         : filter -  only IBM SHARK devices"},
    {"       -f_size <size>   : filter -  only show devices with <= size in kbytes"},
    {""},
    {"    query options:"},
    {"       -skipread        : do not request Read Capacity"},
    {"       -skipinq         : do not request Inquiry data"},
    {"       -skipboth        : do not request Read Capacity or Inquiry data"},
    {""},
    {"    device options:"},
    {"       -dev  <device>   : do inquiry on specified device"},
    {"       -korvvol <vol#>  : show devices with Korv HEX volume #= <vol#>"},
    {"       -drav_file <file-name>: show dravonis devices in file"},
    {""},
    {"    other options:"},
    {"       -no_dots         : do not display status dots"},
    {"       -sortoff         : do not perform ANY sorting"},
    {"       -sortkorv        : sort by Korvalith serial number   (Korvalith only)"},
    {""},
    {"    kor_wwn options:"},
    {"       -sid_wwn <sid>   : the 12 digit SID of the korv for which you want wwn's", 80},
    {"       -kordev  <dev>   : the device for which you want the wwn"},
    {""},
    {"    HBA specific options:"},
    {"       -hba               : display HBA info only"},
    {"       -fibre             : display FC HBA info only"},
    {"       -iscsi             : display ISCSI HBA info only"},
    {"       -scsi              : display SCSI HBA info only"},
    {"       -hba_file <file>   : external HBA file to use. -fibre only"},
    {"       -create            : create external HBA file specified by -hba_file"},
    {"      Usage :", 78},
    {"       inquiry -hba [-fibre [-hba_file <file>] [-create]] [-scsi] [-iscsi]", 80},
    {""},
    {"Release notes:"},
    {"     Only options listed above are supported, although other options"},
    {"     may continue to work, they are subject to change or removal."},
    {""},
    {"     the following parameter changes have occurred"},
    {"       -nodots              ->  -no_dots"},
    {"       -c                   ->  -ckd"},
    {"       -v                   ->  -page0"},
    {"       -r <devicename>      ->  -dev <devicename>"},
    {"       -s KorvVolumeNumber  ->  -korvvol KorvVolumeNumber"},
    {"       -xr                  ->  -f_pseudo"},
    {"       -xps                 ->  -f_real"},
    {"       -system              ->  no longer exists"},
};

constexpr int kRpxUsageWidth = 78;
constexpr std::string_view kRpxUsage[] = {
    "",
    "Usage: inquiry      <rpx_options>",
    "",
    "    options:",
    "       -rpx           : display this help screen",
    "       -rpx_ping      : display local and remote korvalith serial numbers",
    "       -rpx_list      : display rpx device info for host visable devices",
    "       -rpx_xml       : display rpx device info for host visable devices (xml)",
    "",
};

void print_padded(std::string_view text, int width) {
    std::printf("%-*.*s\n", width, static_cast<int>(text.size()), text.data());
}

}  // namespace

void print_usage() {
    for (const UsageLine& line : kUsage) print_padded(line.text, line.width);
    std::printf("\n");
}

void print_rpx_usage() {
    for (std::string_view text : kRpxUsage) print_padded(text, kRpxUsageWidth);
}
