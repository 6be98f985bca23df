/*
 * tolvane's own start-up, for the Windows images that carry no C run-time.
 */
#ifndef TOLVANE_RUN_TIME_H
#define TOLVANE_RUN_TIME_H

/* Gives the stack cookie a random value where Windows has left it at the
 * default: to be called first, from a function that returns nowhere. */
void seed_stack_cookie(void);

#endif
