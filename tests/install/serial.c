/* A program outside the project: prints the serial number of the token in
 * the reader named on its command line, through an installed libQuillon.
 * Built once against quillon.pc and once with find_package(Quillon). */
#include <Quillon.h>

#include <stdio.h>

int main(int argc, char** argv) {
    /* The run-time binding type must match the export it stands for. */
    PFN_CardReadSnAndTime readSnAndTime = CardReadSnAndTime;
    char serial[32];
    char clockText[64];
    uint32_t serialLen = sizeof serial;
    uint32_t clockLen = sizeof clockText;
    uint32_t status;

    if (argc != 2) {
        fprintf(stderr, "usage: quillon-serial READER\n");
        return 2;
    }
    status = readSnAndTime(argv[1], 0, serial, &serialLen, clockText, &clockLen);
    if (status != CARD_OK) {
        fprintf(stderr, "quillon-serial: CardReadSnAndTime failed [%08X]\n", (unsigned)status);
        return 1;
    }
    printf("%.*s\n", (int)serialLen, serial);
    return 0;
}
