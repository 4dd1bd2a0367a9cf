#include <stdio.h>
#include <stdlib.h>

#include "orrin.h"

/* The messages are GBK (code page 936) bytes, written as escapes so that the
 * encoding of this file can never change what reaches the console. */
#define MSG_NO_SPACE   "\xc9\xea\xc7\xeb\xbf\xd5\xbc\xe4\xca\xa7\xb0\xdc"
#define MSG_PROMPT_FW  "\xca\xe4\xc8\xeb\xd4\xaa\xcb\xd8\xa3\xba"
#define MSG_PROMPT     "\xca\xe4\xc8\xeb\xd4\xaa\xcb\xd8:"
#define MSG_NO_NODE    "\xb5\xda%d\xb8\xf6\xbd\xda\xb5\xe3\xb2\xbb\xb4\xe6\xd4\xda\n"
#define MSG_DATA       "\xb5\xa5\xc1\xb4\xb1\xed\xb5\xc4\xca\xfd\xbe\xdd\xce\xaa%d\n"

/* A token that is not an integer (or the end of input) gives 0 instead of
 * whatever the node's memory happened to hold. */
static int read_element(void)
{
    int value = 0;
    if (scanf("%d", &value) != 1)
        value = 0;
    return value;
}

static LinkList new_head(void)
{
    LinkList head = (LinkList)malloc(sizeof(LNode));
    if (head == NULL) {
        printf(MSG_NO_SPACE);
        return NULL;
    }
    head->data = 0;
    head->next = NULL;
    return head;
}

void InitLinkedList(void)
{
    LinkList L = (LinkList)malloc(sizeof(LNode));
    if (L == NULL) {
        printf(MSG_NO_SPACE);
        return;
    }
    L->next = NULL;
}

LinkList CreateLinkedListHead(int n)
{
    int k;
    LinkList L = new_head();

    if (L == NULL)
        return NULL;
    printf(MSG_PROMPT_FW);
    for (k = 0; k < n; k++) {
        LinkList p = (LinkList)malloc(sizeof(LNode));
        if (p == NULL) {
            printf(MSG_NO_SPACE);
            break;
        }
        p->data = read_element();
        p->next = L->next;
        L->next = p;
    }
    return L;
}

LinkList CreateLinkedListTail(int n)
{
    int k;
    LinkList r;
    LinkList L = new_head();

    if (L == NULL)
        return NULL;
    r = L;
    printf(MSG_PROMPT);
    /* k < n also keeps a negative n from looping: the list stays empty. */
    for (k = 0; k < n; k++) {
        int value = read_element();
        LinkList p = (LinkList)malloc(sizeof(LNode));
        if (p == NULL) {
            printf(MSG_NO_SPACE);
            break;
        }
        p->data = value;
        r->next = p;
        r = p;
    }
    r->next = NULL;
    return L;
}

void InsertLinkedList(LinkList L, int i, int x)
{
    LinkList p = L;
    LinkList s;
    int j = 1;

    while (p != NULL && j < i) {
        p = p->next;
        j++;
    }
    /* Beyond the element after the last one there is nowhere to link. */
    if (p == NULL)
        return;
    s = (LinkList)malloc(sizeof(LNode));
    if (s == NULL) {
        printf(MSG_NO_SPACE);
        return;
    }
    s->data = x;
    s->next = p->next;
    p->next = s;
}

void deleteLinkedList(LinkList L, int i)
{
    LinkList p = L;
    LinkList q;
    int j = 1;

    if (i < 1)
        return;
    while (p->next != NULL && j < i) {
        p = p->next;
        j++;
    }
    /* No element i: the list is left as it is. */
    if (p->next == NULL)
        return;
    q = p->next;
    p->next = q->next;
    free(q);
}

int GetElem(LinkList L, int i)
{
    LinkList p = L->next;
    int j = 1;

    while (p != NULL && j < i) {
        p = p->next;
        j++;
    }
    if (p == NULL || j > i) {
        printf(MSG_NO_NODE, i);
        return 0;
    }
    return p->data;
}

int getlength(LinkList L)
{
    int count = 0;
    LinkList p = L->next;

    while (p != NULL) {
        printf(MSG_DATA, p->data);
        count++;
        p = p->next;
    }
    return count;
}

void output(LinkList L)
{
    LinkList p = L->next;

    while (p != NULL) {
        printf("%d", p->data);
        p = p->next;
    }
}

void ClearList(LinkList L)
{
    LinkList p = L->next;

    while (p != NULL) {
        LinkList q = p->next;
        free(p);
        p = q;
    }
    L->next = NULL;
}
