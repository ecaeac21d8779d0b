/* The C unit of the omissions test, built with -g -O2. */
struct opaque;                      /* defined only in nodebug.c (no -g) */
extern struct opaque opaqueThing;   /* -> no debugging information */
extern int nodebug[3];              /* -> no debugging information */
extern const int table[4];
const int table[4] = {1, 2, 3, 4};  /* -> constant data */
int counter;                        /* listed */
static int hidden;                  /* listed */
volatile int vol;                   /* listed */

int used(int x) {
    static int calls;               /* listed (symbol calls.0) */
    calls += x;
    hidden += calls + nodebug[x & 1];
    return hidden + table[x & 3];
}

struct opaque* getOpaque(void) { return &opaqueThing; }

int device(int);

int main(void) {
    counter = used(vol);
    return device(counter) + (getOpaque() != 0);
}
