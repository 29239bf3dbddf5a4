/* Puts the medium a guest ejected back into its reader: START STOP UNIT with
   LoEj and Start set, which busybox has no applet for. */
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    unsigned char cdb[6] = {0x1B, 0, 0, 0, 0x03, 0};
    unsigned char sense[32];
    sg_io_hdr_t io;
    int fd;

    if (argc != 2) {
        fprintf(stderr, "usage: load-medium DISK\n");
        return 2;
    }
    /* Without O_NONBLOCK a disk without medium cannot be opened. */
    fd = open(argv[1], O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    memset(&io, 0, sizeof io);
    io.interface_id = 'S';
    io.dxfer_direction = SG_DXFER_NONE;
    io.cmd_len = sizeof cdb;
    io.cmdp = cdb;
    io.mx_sb_len = sizeof sense;
    io.sbp = sense;
    io.timeout = 20000;
    if (ioctl(fd, SG_IO, &io) < 0) {
        perror("SG_IO");
        return 1;
    }
    close(fd);
    if (io.status || io.host_status || io.driver_status) {
        fprintf(stderr, "START STOP UNIT: status 0x%x, sense key 0x%x\n", io.status, io.sb_len_wr > 2 ? sense[2] & 0xF : 0);
        return 1;
    }
    return 0;
}
