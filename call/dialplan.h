/* dialplan: finds an extension's device text in one of the PBX's dial-plan files, read
 * under a shared lock, and tells external numbers from internal ones. Keeps no state;
 * the dial-plan files belong to the PBX's configuration. Called by the incoming
 * forwarding worker, possibly from many threads at once. */
#ifndef DIALPLAN_H
#define DIALPLAN_H

/* Looks extension up in conf_file: the first line (or 1023-character piece of a longer
 * line) holding "EXT,1,Macro", "EXT,1,Gosub" or, failing those, "EXT,hint" with a "SIP",
 * "Zap", "/dev/null", "DAHDI" or "IAX2" marker after the key gives the device text. A key
 * counts only where it starts a whole extension: at the line's start, or after a
 * character that is not a letter, a digit or one of "_*#+" ("10,hint" inside "210,hint"
 * does not count for 10). The device text starts at the word holding the first marker of
 * that order ("PJSIP/205" whole); a Macro line's is cut at the first ',', a Gosub line's
 * at the first ',' or ')', a hint line's runs to the end of the line. A line end is a line feed with any carriage return just
 * in front of it. Waits while another process holds an exclusive lock on the file.
 * Always sets *devname first: to null, then to a new heap text that the caller frees.
 * Returns 1 when a device text was found; 0 when the file cannot be opened or locked, or
 * no line gives one (*devname is then null). Reads extension and conf_file only. */
int GetDEVfromConf(char *extension, char *conf_file, char **devname);

/* Returns 1 when phonenumber leaves the PBX: more than 6 characters, or exactly "90",
 * "411", "611" or "911"; 0 otherwise (a null number included). Reads phonenumber only. */
int IsExternalNumber(char *phonenumber);

#endif
